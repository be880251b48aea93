#include "ui/DisplayGlyphs.h"

#include <QFontMetricsF>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace vorn {

namespace {

// Every character the display shows: the ink of all of them together decides
// how large the font may be.
constexpr const char* kAllGlyphs =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789()-/:";

constexpr int kDotsPerMeter96Dpi = 3780;

}  // namespace

QImage DisplayGlyphs::Canvas(const QSize& logical, qreal ratio) {
    QImage image((QSizeF(logical) * ratio).toSize().expandedTo(QSize(1, 1)), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(ratio);
    image.setDotsPerMeterX(kDotsPerMeter96Dpi);
    image.setDotsPerMeterY(kDotsPerMeter96Dpi);
    image.fill(Qt::transparent);
    return image;
}

DisplayGlyphs::DisplayGlyphs(const QString& family, int lineHeight, int clearance,
                             double cellWidth)
    : font_(family), cellWidth_(cellWidth) {
    font_.setStyleStrategy(QFont::NoAntialias);
    font_.setHintingPreference(QFont::PreferDefaultHinting);
    const QImage probe = Canvas(QSize(1, 1), 1.0);
    const int room = std::max(1, lineHeight - 2 * clearance);
    QRectF ink;
    for (int pixels = room; pixels >= 1; --pixels) {
        font_.setPixelSize(pixels);
        ink = QFontMetricsF(font_, &probe).tightBoundingRect(QLatin1String(kAllGlyphs));
        if (std::ceil(ink.height()) <= room) {
            break;
        }
    }
    fontInkTop_ = ink.top();
    inkHeight_ = static_cast<int>(std::ceil(ink.height()));
    // Narrow the glyphs so that a full line of 28 fits the display's width.
    const double advance = QFontMetricsF(font_, &probe).horizontalAdvance(QLatin1Char('0'));
    if (advance > cellWidth && advance > 0) {
        font_.setStretch(std::max(1, static_cast<int>(std::floor(100.0 * cellWidth / advance))));
    }
    // Only the characters the display shows: asking for any other would load
    // a fallback font for it.
    const QFontMetricsF metrics(font_, &probe);
    for (const char* c = kAllGlyphs; *c != '\0'; ++c) {
        offsets_[static_cast<unsigned char>(*c)] = (cellWidth - metrics.horizontalAdvance(QLatin1Char(*c))) / 2.0;
    }
}

const QImage& DisplayGlyphs::Glyph(unsigned char c, QColor colour) {
    QImage& glyph = glyphs_[colour.rgba()][c & 0x7F];
    if (glyph.isNull()) {
        // One cell wide and a pixel more, as high as the ink and its slack.
        glyph = Canvas(QSize(static_cast<int>(std::ceil(cellWidth_)) + 1, inkHeight_ + 2 * kInkSlack), ratio_);
        QPainter painter(&glyph);
        painter.setFont(font_);
        painter.setPen(colour);
        painter.drawText(QPointF(0, kInkSlack - fontInkTop_), QString(QChar::fromLatin1(static_cast<char>(c & 0x7F))));
    }
    return glyph;
}

void DisplayGlyphs::DrawLine(QPainter& painter, const QRect& line, const std::string& text,
                             double left, QColor colour) {
    if (text.empty()) {
        return;
    }
    const qreal ratio = painter.device() != nullptr ? painter.device()->devicePixelRatioF() : 1.0;
    if (ratio != ratio_) {
        glyphs_.clear();
        ratio_ = ratio;
    }
    painter.save();
    painter.setClipRect(line);
    painter.fillRect(QRectF(left, line.top(), cellWidth_ * static_cast<double>(text.size()),
                            line.height()),
                     Qt::white);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    const int top = line.top() + (line.height() - inkHeight_) / 2 - kInkSlack;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == ' ') {
            continue;
        }
        // On a whole device pixel: a glyph's pixels are copied, never resampled.
        const double x = left + static_cast<double>(i) * cellWidth_ + offsets_[c & 0x7F];
        painter.drawImage(QPointF(std::round(x * ratio_) / ratio_, top), Glyph(c, colour));
    }
    painter.restore();
}

}  // namespace vorn
