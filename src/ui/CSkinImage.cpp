#include "ui/CSkinImage.h"

#include <QPainter>
#include <QtGlobal>

#include <cmath>
#include <cstring>
#include <filesystem>

#include "foundation/LogEntry.h"
#include "imaging/PicturePreload.h"
#include "imaging/PngDecoder.h"

#if Q_BYTE_ORDER != Q_LITTLE_ENDIAN
#error "CSkinImage hands blue-green-red-alpha bytes to Qt as ARGB32 words: little-endian only"
#endif

namespace vorn {

namespace {

constexpr double kHighResolution = 2.0;

// A file decoded ahead of time counts as decoded now.
bool Decode(const std::string& path, DecodedImage& decoded, std::string& error, PicturePreload* preloaded) {
    std::string detail;
    int result = 0;
    if (auto picture = preloaded != nullptr ? preloaded->Take(path) : std::nullopt) {
        result = picture->result;
        decoded = std::move(picture->image);
        error = std::move(picture->error);
        detail = std::move(picture->detail);
    } else {
        result = PngDecoder::Decode(path, decoded, error, &detail);
    }
    if (result != PngDecoder::kOk) {
        VORN_LOG(LogLevel::Warning) << "CSkinImage : " << error << " : " << detail;
        return false;
    }
    return true;
}

}  // namespace

CSkinImage::CSkinImage(const std::string& path, double devicePixelRatio, const QRect& keep,
                       PicturePreload* preloaded) {
    Load(path, devicePixelRatio, preloaded);
    KeepOnly(keep);
}

void CSkinImage::Load(const std::string& path, double devicePixelRatio, PicturePreload* preloaded) {
    DecodedImage decoded;
    if (devicePixelRatio > 1.0) {
        const std::string highResolution = HighResolutionPath(path);
        std::error_code error;
        std::string ignored;
        if (std::filesystem::exists(highResolution, error) && Decode(highResolution, decoded, ignored, preloaded)) {
            scale_ = kHighResolution;
            Adopt(std::move(decoded));
            if (IsValid() && devicePixelRatio != kHighResolution) ScaleTo(devicePixelRatio);
            if (IsValid()) return;
            error_.clear();
            scale_ = 1.0;  // an unusable 2x picture: the 1x one serves
        }
    }
    if (Decode(path, decoded, error_, preloaded)) Adopt(std::move(decoded));
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

bool CSkinImage::IsOpaqueAtLogical(int x, int y) const {
    const int wholeWidth = static_cast<int>(std::lround(logicalSize_.width() * scale_));
    const int wholeHeight = static_cast<int>(std::lround(logicalSize_.height() * scale_));
    const int px = std::min(wholeWidth - 1, static_cast<int>((x + 0.5) * scale_)) - keptOrigin_.x();
    const int py = std::min(wholeHeight - 1, static_cast<int>((y + 0.5) * scale_)) - keptOrigin_.y();
    return px >= 0 && py >= 0 && px < Width() && py < Height() && IsOpaque(px, py);
}

void CSkinImage::KeepOnly(const QRect& logical) {
    if (!IsValid() || logical.isEmpty()) return;
    // Corners on whole multiples of 4 logical pixels fall on whole device
    // pixels at every usual ratio (1.25, 1.5, 1.75, 2), so the kept part is
    // still drawn 1:1 where the whole picture was; the margin keeps the
    // neighbours that smooth scaling reads at the area's edge.
    constexpr int kMargin = 2;
    const auto down = [](int v) { return std::max(0, v - kMargin) / 4 * 4; };
    const auto up = [](int v) { return (std::max(0, v + kMargin) + 3) / 4 * 4; };
    const int x0 = std::min(Width(), static_cast<int>(std::floor(down(logical.left()) * scale_)));
    const int y0 = std::min(Height(), static_cast<int>(std::floor(down(logical.top()) * scale_)));
    const int x1 = std::min(Width(), static_cast<int>(std::ceil(up(logical.right() + 1) * scale_)));
    const int y1 = std::min(Height(), static_cast<int>(std::ceil(up(logical.bottom() + 1) * scale_)));
    if (x0 == 0 && y0 == 0 && x1 == Width() && y1 == Height()) return;
    DecodedImage kept;
    kept.width = std::max(1, x1 - x0);  // a rectangle beside the picture keeps one clear pixel
    kept.height = std::max(1, y1 - y0);
    kept.pixels.assign(static_cast<std::size_t>(kept.Stride()) * static_cast<std::size_t>(kept.height), 0);
    for (int y = 0; y < y1 - y0; ++y) {
        std::memcpy(kept.Row(y), pixels_.Row(y0 + y) + static_cast<std::size_t>(x0) * 4,
                    static_cast<std::size_t>(x1 - x0) * 4);
    }
    pixels_ = std::move(kept);
    keptOrigin_ = QPoint(x0, y0);
    ShareWithQt();
}

void CSkinImage::Draw(QPainter& painter, const QPoint& target, const QRect& source) const {
    if (!IsValid() || source.isEmpty()) return;
    painter.save();
    painter.setClipRect(QRect(target, source.size()), Qt::IntersectClip);
    if (painter.device() != nullptr && painter.device()->devicePixelRatioF() != scale_) {
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
    }
    painter.drawImage(QPointF(target - source.topLeft()) + QPointF(keptOrigin_) / scale_, image_);
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
    // Most of a skin is fully opaque, which stays as it is.
    for (std::size_t i = 0; i + 3 < pixels.pixels.size(); i += 4) {
        const unsigned alpha = pixels.pixels[i + 3];
        if (alpha == 255) continue;
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
        logicalSize_ = QSize();
        error_ = "CSkinImage : picture without pixels";
        return;
    }
    Premultiply(pixels);
    logicalSize_ = QSize(static_cast<int>(std::lround(pixels.width / scale_)),
                         static_cast<int>(std::lround(pixels.height / scale_)));
    pixels_ = std::move(pixels);
    ShareWithQt();
}

void CSkinImage::ShareWithQt() {
    image_ = QImage(static_cast<const uchar*>(pixels_.pixels.data()), pixels_.width, pixels_.height, pixels_.Stride(),
                    QImage::Format_ARGB32_Premultiplied);
    image_.setDevicePixelRatio(scale_);
}

}  // namespace vorn
