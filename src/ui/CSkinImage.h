#pragma once

#include <QImage>

#include <cstdint>
#include <string>

#include "imaging/DecodedImage.h"

namespace vorn {

// One skin picture, decoded from a PNG file and premultiplied: every colour
// channel becomes channel * alpha / 255 (integer quotient), alpha unchanged.
// The pixels are shared with Qt as a QImage in Format_ARGB32_Premultiplied
// (in memory blue, green, red, alpha: the decoded layout), so drawing uses
// them as they are. Not copyable: the QImage refers to this object's pixels.
class CSkinImage {
public:
    // Decodes the file (relative paths against the working folder). A file that
    // cannot be opened or decoded leaves an empty, invalid image whose Error()
    // is the decoder's "Opening <path> failed"; the failure is logged.
    explicit CSkinImage(const std::string& path);
    // Takes decoded, not yet premultiplied pixels.
    explicit CSkinImage(DecodedImage pixels);
    CSkinImage(const CSkinImage&) = delete;
    CSkinImage& operator=(const CSkinImage&) = delete;

    bool IsValid() const { return !image_.isNull(); }
    const std::string& Error() const { return error_; }

    int Width() const { return pixels_.width; }
    int Height() const { return pixels_.height; }
    // One row of premultiplied pixels, blue, green, red, alpha, from the top.
    const std::uint8_t* Row(int y) const { return pixels_.Row(y); }
    std::uint8_t Alpha(int x, int y) const { return Row(y)[x * 4 + 3]; }
    // Only fully opaque pixels belong to the window.
    bool IsOpaque(int x, int y) const { return Alpha(x, y) == 255; }

    const QImage& Image() const { return image_; }

    static void Premultiply(DecodedImage& pixels);

private:
    void Adopt(DecodedImage pixels);

    DecodedImage pixels_;
    QImage image_;  // a view of pixels_, no copy
    std::string error_;
};

}  // namespace vorn
