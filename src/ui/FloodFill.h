#pragma once

#include <QImage>
#include <QPoint>
#include <QRgb>

namespace vorn {

// Border flood fill, as a painter's "fill until this colour" tool: starting at
// `start`, every 4-connected pixel whose colour (alpha ignored) is not `border`
// becomes `fill`. Nothing happens when `start` is outside the image or already
// has the border colour. Works on 32-bit images only; returns the pixels changed.
int FloodFillToBorder(QImage& image, QPoint start, QRgb fill, QRgb border);

}  // namespace vorn
