#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QRect>

#include <array>
#include <map>
#include <string>

class QPainter;

namespace vorn {

// The display font fitted to the display's cells and lines. Its size is the
// largest whose ink (of every character it shows) leaves `clearance` pixels
// clear above and below in a line of `lineHeight`; it is narrowed so that a
// glyph fits a cell, and drawn without antialiasing so that its hinting keeps
// every segment a whole pixel wide (an antialiased segment narrower than a
// pixel fades to grey and the letter loses it). Sizes and places are logical
// pixels; the glyphs are drawn at the resolution of the device they go to
// (twice as fine on a 2x screen, not enlarged). Each glyph is drawn once per
// colour and resolution and copied from then on. Window thread only.
class DisplayGlyphs {
public:
    DisplayGlyphs(const QString& family, int lineHeight, int clearance, double cellWidth);

    const QFont& Font() const { return font_; }
    // Pixels from the top of the ink to its bottom.
    int InkHeight() const { return inkHeight_; }

    // Draws `text` one character per cell from `left` on an opaque white
    // ground, clipped to `line`, each glyph on whole pixels and the ink centred
    // in the line (the odd pixel below).
    void DrawLine(QPainter& painter, const QRect& line, const std::string& text, double left,
                  QColor colour);

    // A transparent canvas of `logical` size at `ratio` device pixels per
    // logical pixel, laid out at 96 dots per inch, the resolution the skin is
    // drawn for, whatever the screen reports.
    static QImage Canvas(const QSize& logical, qreal ratio);

private:
    // Room above and below the ink of a glyph's image: hinting at another
    // resolution may move an edge by a device pixel.
    static constexpr int kInkSlack = 1;

    const QImage& Glyph(unsigned char c, QColor colour);

    QFont font_;
    double cellWidth_;
    double fontInkTop_ = 0;  // the top of the ink relative to the baseline
    int inkHeight_ = 0;
    std::array<double, 128> offsets_{};  // each glyph's left within its cell
    qreal ratio_ = 1.0;  // the device pixel ratio the kept glyphs are drawn at
    std::map<QRgb, std::array<QImage, 128>> glyphs_;  // by colour, then character
};

}  // namespace vorn
