#pragma once

#include <QImage>
#include <QPoint>
#include <QRect>

#include <cstdint>
#include <string>

#include "imaging/DecodedImage.h"

class QPainter;

namespace vorn {

class PicturePreload;

// One skin picture, decoded from a PNG file and premultiplied: every colour
// channel becomes channel * alpha / 255 (integer quotient), alpha unchanged.
// The pixels are shared with Qt as a QImage in Format_ARGB32_Premultiplied
// (in memory blue, green, red, alpha: the decoded layout), so drawing uses
// them as they are. Not copyable: the QImage refers to this object's pixels.
//
// A picture covers the window in logical pixels; it may hold more pixels than
// that (Scale() of them per logical pixel) for a screen of that device pixel
// ratio. Draw places it in logical coordinates at the painter's resolution.
class CSkinImage {
public:
    // Decodes the file (relative paths against the working folder). A file that
    // cannot be opened or decoded leaves an empty, invalid image whose Error()
    // is the decoder's "Opening <path> failed"; the failure is logged.
    //
    // For a device pixel ratio above 1 the picture drawn at twice the
    // resolution beside it ("name@2x.png") is taken where it exists: as it is
    // at exactly 2, else scaled smoothly to the ratio, a hard-edged picture
    // (every alpha 0 or 255) staying hard-edged. Without it, the file itself.
    //
    // `keep` (logical pixels; empty: all of it) is the only part that will ever
    // be drawn: the pixels around it are dropped at once, so a whole-window
    // picture that serves one control costs only that control's share.
    //
    // A file that `preloaded` decoded is taken from it rather than read again.
    explicit CSkinImage(const std::string& path, double devicePixelRatio = 1.0, const QRect& keep = QRect(),
                        PicturePreload* preloaded = nullptr);
    // Takes decoded, not yet premultiplied pixels, `scale` of them per logical pixel.
    explicit CSkinImage(DecodedImage pixels, double scale = 1.0);
    CSkinImage(const CSkinImage&) = delete;
    CSkinImage& operator=(const CSkinImage&) = delete;

    bool IsValid() const { return !image_.isNull(); }
    const std::string& Error() const { return error_; }

    // In pixels of the part kept (all of the picture unless `keep` was given).
    int Width() const { return pixels_.width; }
    int Height() const { return pixels_.height; }
    // Pixels of the picture per logical pixel (1, 2, or the ratio it was scaled to).
    double Scale() const { return scale_; }
    // The logical pixels the whole picture covers.
    QSize LogicalSize() const { return logicalSize_; }
    // Where the kept part starts, in pixels of the whole picture.
    QPoint KeptOrigin() const { return keptOrigin_; }
    // One row of the kept premultiplied pixels, blue, green, red, alpha, from the top.
    const std::uint8_t* Row(int y) const { return pixels_.Row(y); }
    std::uint8_t Alpha(int x, int y) const { return Row(y)[x * 4 + 3]; }
    // Only fully opaque pixels belong to the window.
    bool IsOpaque(int x, int y) const { return Alpha(x, y) == 255; }
    // Whether the picture is opaque under the centre of logical pixel (x, y);
    // false outside the kept part.
    bool IsOpaqueAtLogical(int x, int y) const;

    // Its device pixel ratio is Scale().
    const QImage& Image() const { return image_; }
    // Blends the logical rectangle `source` of the picture onto `painter` with
    // its top-left corner at logical `target`; 1:1 when the painter's device
    // has the picture's resolution, smoothly scaled otherwise.
    void Draw(QPainter& painter, const QPoint& target, const QRect& source) const;

    // "dir/name.png" -> "dir/name@2x.png".
    static std::string HighResolutionPath(const std::string& path);

    static void Premultiply(DecodedImage& pixels);

private:
    void Load(const std::string& path, double devicePixelRatio, PicturePreload* preloaded);
    void Adopt(DecodedImage pixels);
    // Replaces the pixels by their smooth scaling to `ratio` x the logical size.
    void ScaleTo(double ratio);
    // Drops the pixels outside the logical rectangle `logical`.
    void KeepOnly(const QRect& logical);
    // Makes image_ the view of pixels_ at scale_.
    void ShareWithQt();

    DecodedImage pixels_;
    double scale_ = 1.0;
    QSize logicalSize_;
    QPoint keptOrigin_;
    QImage image_;  // a view of pixels_, no copy
    std::string error_;
};

}  // namespace vorn
