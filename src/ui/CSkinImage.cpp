#include "ui/CSkinImage.h"

#include <QPainter>
#include <QtGlobal>

#include <cmath>
#include <cstring>
#include <filesystem>

#include "foundation/LogEntry.h"
#include "imaging/PngDecoder.h"

#if Q_BYTE_ORDER != Q_LITTLE_ENDIAN
#error "CSkinImage hands blue-green-red-alpha bytes to Qt as ARGB32 words: little-endian only"
#endif

namespace vorn {

namespace {

constexpr double kHighResolution = 2.0;

bool Decode(const std::string& path, DecodedImage& decoded, std::string& error) {
    std::string detail;
    if (PngDecoder::Decode(path, decoded, error, &detail) != PngDecoder::kOk) {
        VORN_LOG(LogLevel::Warning) << "CSkinImage : " << error << " : " << detail;
        return false;
    }
    return true;
}

}  // namespace

CSkinImage::CSkinImage(const std::string& path, double devicePixelRatio) {
    DecodedImage decoded;
    if (devicePixelRatio > 1.0) {
        const std::string highResolution = HighResolutionPath(path);
        std::error_code error;
        std::string ignored;
        if (std::filesystem::exists(highResolution, error) && Decode(highResolution, decoded, ignored)) {
            scale_ = kHighResolution;
            Adopt(std::move(decoded));
            if (IsValid() && devicePixelRatio != kHighResolution) ScaleTo(devicePixelRatio);
            if (IsValid()) return;
            error_.clear();
            scale_ = 1.0;  // an unusable 2x picture: the 1x one serves
        }
    }
    if (Decode(path, decoded, error_)) Adopt(std::move(decoded));
}

CSkinImage::CSkinImage(DecodedImage pixels, double scale) : scale_(scale > 0 ? scale : 1.0) {
    Adopt(std::move(pixels));
}

std::string CSkinImage::HighResolutionPath(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::size_t dot = path.find_last_of('.');
    const std::size_t stem = dot != std::string::npos && (slash == std::string::npos || dot > slash) ? dot : path.size();
    return path.substr(0, stem) + "@2x" + path.substr(stem);
}

QSize CSkinImage::LogicalSize() const {
    return QSize(static_cast<int>(std::lround(Width() / scale_)), static_cast<int>(std::lround(Height() / scale_)));
}

bool CSkinImage::IsOpaqueAtLogical(int x, int y) const {
    const int px = std::min(Width() - 1, static_cast<int>((x + 0.5) * scale_));
    const int py = std::min(Height() - 1, static_cast<int>((y + 0.5) * scale_));
    return px >= 0 && py >= 0 && IsOpaque(px, py);
}

void CSkinImage::Draw(QPainter& painter, const QPoint& target, const QRect& source) const {
    if (!IsValid() || source.isEmpty()) return;
    painter.save();
    painter.setClipRect(QRect(target, source.size()), Qt::IntersectClip);
    if (painter.device() != nullptr && painter.device()->devicePixelRatioF() != scale_) {
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
    }
    painter.drawImage(QPointF(target - source.topLeft()), image_);
    painter.restore();
}

void CSkinImage::ScaleTo(double ratio) {
    const QSize logical = LogicalSize();
    const QSize size(static_cast<int>(std::lround(logical.width() * ratio)),
                     static_cast<int>(std::lround(logical.height() * ratio)));
    if (size.isEmpty()) return;
    bool hardEdged = true;
    for (std::size_t i = 3; i < pixels_.pixels.size() && hardEdged; i += 4) {
        hardEdged = pixels_.pixels[i] == 0 || pixels_.pixels[i] == 255;
    }
    const QImage scaled = image_.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                              .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    DecodedImage pixels;
    pixels.width = scaled.width();
    pixels.height = scaled.height();
    pixels.pixels.resize(static_cast<std::size_t>(pixels.Stride()) * static_cast<std::size_t>(pixels.height));
    for (int y = 0; y < pixels.height; ++y) {
        std::uint8_t* row = pixels.Row(y);
        std::memcpy(row, scaled.constScanLine(y), static_cast<std::size_t>(pixels.Stride()));
        if (!hardEdged) continue;
        // An outline pixel that the scaling half covered belongs to the window
        // when it is mostly covered: then opaque over black (its premultiplied
        // colour as it is), else transparent.
        for (int x = 0; x < pixels.width; ++x) {
            std::uint8_t* pixel = row + x * 4;
            if (pixel[3] >= 128) {
                pixel[3] = 255;
            } else {
                std::memset(pixel, 0, 4);
            }
        }
    }
    pixels_ = std::move(pixels);
    scale_ = ratio;
    ShareWithQt();
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
    ShareWithQt();
}

void CSkinImage::ShareWithQt() {
    image_ = QImage(static_cast<const uchar*>(pixels_.pixels.data()), pixels_.width, pixels_.height, pixels_.Stride(),
                    QImage::Format_ARGB32_Premultiplied);
    image_.setDevicePixelRatio(scale_);
}

}  // namespace vorn
