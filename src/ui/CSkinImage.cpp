#include "ui/CSkinImage.h"

#include <QtGlobal>

#include "foundation/LogEntry.h"
#include "imaging/PngDecoder.h"

#if Q_BYTE_ORDER != Q_LITTLE_ENDIAN
#error "CSkinImage hands blue-green-red-alpha bytes to Qt as ARGB32 words: little-endian only"
#endif

namespace vorn {

CSkinImage::CSkinImage(const std::string& path) {
    DecodedImage decoded;
    std::string detail;
    if (PngDecoder::Decode(path, decoded, error_, &detail) != PngDecoder::kOk) {
        VORN_LOG(LogLevel::Warning) << "CSkinImage : " << error_ << " : " << detail;
        return;
    }
    Adopt(std::move(decoded));
}

CSkinImage::CSkinImage(DecodedImage pixels) {
    Adopt(std::move(pixels));
}

void CSkinImage::Premultiply(DecodedImage& pixels) {
    for (std::size_t i = 0; i + 3 < pixels.pixels.size(); i += 4) {
        const unsigned alpha = pixels.pixels[i + 3];
        for (std::size_t c = 0; c < 3; ++c) {
            pixels.pixels[i + c] = static_cast<std::uint8_t>(pixels.pixels[i + c] * alpha / 255);
        }
    }
}

void CSkinImage::Adopt(DecodedImage pixels) {
    const std::size_t needed = static_cast<std::size_t>(pixels.width > 0 ? pixels.width : 0) * 4 *
                               static_cast<std::size_t>(pixels.height > 0 ? pixels.height : 0);
    if (pixels.width <= 0 || pixels.height <= 0 || pixels.pixels.size() < needed) {
        pixels_ = DecodedImage{};
        image_ = QImage();
        error_ = "CSkinImage : picture without pixels";
        return;
    }
    Premultiply(pixels);
    pixels_ = std::move(pixels);
    image_ = QImage(static_cast<const uchar*>(pixels_.pixels.data()), pixels_.width, pixels_.height, pixels_.Stride(),
                    QImage::Format_ARGB32_Premultiplied);
}

}  // namespace vorn
