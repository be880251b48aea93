#pragma once

#include <QColor>
#include <QEvent>
#include <QImage>
#include <QPoint>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tests/ui/QtTestSupport.h"
#include "ui/CSkinControl.h"
#include "ui/CSkinDialog.h"
#include "ui/CSkinImage.h"

namespace vorn::test {

// A skin picture from a function giving each pixel's unpremultiplied colour.
std::unique_ptr<CSkinImage> MakeImage(int width, int height,
                                      const std::function<QColor(int x, int y)>& colour);
// A 430 x 130 picture of one opaque colour.
std::unique_ptr<CSkinImage> SolidImage(QColor colour, int width = CSkinDialog::kSkinWidth,
                                       int height = CSkinDialog::kSkinHeight);

// The colour of an image pixel, unpremultiplied only by Qt's own rules.
QColor PixelAt(const QImage& image, int x, int y);
bool SameColour(const QColor& a, const QColor& b);

// Processes Qt events until `done` holds or `timeoutMs` pass. Returns `done()`.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 5000) { return PumpUntil(done, timeoutMs); }

// Sends a mouse event to `widget` at client position `pos`.
void SendMouse(QWidget& widget, QEvent::Type type, QPoint pos,
               Qt::MouseButton button = Qt::LeftButton,
               Qt::MouseButtons buttons = Qt::LeftButton);
void Press(QWidget& widget, QPoint pos);
void Release(QWidget& widget, QPoint pos);
void Move(QWidget& widget, QPoint pos, Qt::MouseButtons buttons = Qt::NoButton);

// Makes the source tree the working folder while it lives, so that
// "./resources/..." resolves as in an installed program.
class SourceTreeCwd {
public:
    SourceTreeCwd();
    ~SourceTreeCwd();
    SourceTreeCwd(const SourceTreeCwd&) = delete;
    SourceTreeCwd& operator=(const SourceTreeCwd&) = delete;

private:
    std::string previous_;
};

// A control that fills its bounding box with one colour and counts its calls.
class RecordingControl : public CSkinControl {
public:
    RecordingControl(std::string name, CSkinDialog* owner, const QRegion& area, QColor colour,
                     bool drawResult = true, bool consumes = false);

    bool Draw(QPainter& dc) override;
    bool Tick() override;
    bool OnMouse(int event, int x, int y, unsigned keyFlags) override;

    QColor colour;
    bool drawResult;
    bool consumes;      // answer for mouse events inside the area
    bool setsCursor = false;  // answers MOUSE_SETCURSOR with true
    int draws = 0;
    int ticks = 0;
    std::vector<int> events;
};

}  // namespace vorn::test
