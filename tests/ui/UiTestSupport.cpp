#include "tests/ui/UiTestSupport.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QThread>

#include <filesystem>

#include "imaging/DecodedImage.h"

namespace vorn::test {

std::unique_ptr<CSkinImage> MakeImage(int width, int height,
                                      const std::function<QColor(int x, int y)>& colour) {
    DecodedImage decoded;
    decoded.width = width;
    decoded.height = height;
    decoded.pixels.resize(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = decoded.Row(y);
        for (int x = 0; x < width; ++x) {
            const QColor c = colour(x, y);
            row[x * 4 + 0] = static_cast<std::uint8_t>(c.blue());
            row[x * 4 + 1] = static_cast<std::uint8_t>(c.green());
            row[x * 4 + 2] = static_cast<std::uint8_t>(c.red());
            row[x * 4 + 3] = static_cast<std::uint8_t>(c.alpha());
        }
    }
    return std::make_unique<CSkinImage>(std::move(decoded));
}

std::unique_ptr<CSkinImage> SolidImage(QColor colour, int width, int height) {
    return MakeImage(width, height, [colour](int, int) { return colour; });
}

QColor PixelAt(const QImage& image, int x, int y) {
    return QColor::fromRgba(image.pixel(x, y));
}

bool SameColour(const QColor& a, const QColor& b) {
    return a.rgba() == b.rgba();
}

void SendMouse(QWidget& widget, QEvent::Type type, QPoint pos, Qt::MouseButton button,
               Qt::MouseButtons buttons) {
    const QPointF local(pos);
    const QPointF global(widget.mapToGlobal(pos));
    QMouseEvent event(type, local, local, global, button, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(&widget, &event);
}

void Press(QWidget& widget, QPoint pos) {
    SendMouse(widget, QEvent::MouseButtonPress, pos, Qt::LeftButton, Qt::LeftButton);
}

void Release(QWidget& widget, QPoint pos) {
    SendMouse(widget, QEvent::MouseButtonRelease, pos, Qt::LeftButton, Qt::NoButton);
}

void Move(QWidget& widget, QPoint pos, Qt::MouseButtons buttons) {
    SendMouse(widget, QEvent::MouseMove, pos, Qt::NoButton, buttons);
}

SourceTreeCwd::SourceTreeCwd() {
    std::error_code error;
    previous_ = std::filesystem::current_path(error).string();
    std::filesystem::current_path(VORN_SOURCE_DIR, error);
}

SourceTreeCwd::~SourceTreeCwd() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
}

RecordingControl::RecordingControl(std::string name, CSkinDialog* owner, const QRegion& area,
                                   QColor colour, bool drawResult, bool consumes)
    : CSkinControl(std::move(name), owner, area, nullptr),
      colour(colour),
      drawResult(drawResult),
      consumes(consumes) {}

bool RecordingControl::Draw(QPainter& dc) {
    ++draws;
    dc.fillRect(BoundingBox(), colour);
    return drawResult;
}

bool RecordingControl::Tick() {
    ++ticks;
    return false;
}

bool RecordingControl::OnMouse(int event, int x, int y, unsigned) {
    events.push_back(event);
    if (event == MOUSE_SETCURSOR) {
        return setsCursor;
    }
    return consumes && HitTest(event, x, y);
}

}  // namespace vorn::test
