#include "imaging/PngDecoder.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace vorn {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Frees libpng's read state however the decode ends.
struct ImageReadGuard {
    png_image* image;
    ~ImageReadGuard() { png_image_free(image); }
};

// Larger pictures than this are refused rather than allocated: no skin comes
// near it, and a damaged header must not ask for gigabytes.
constexpr png_uint_32 kMaxSide = 4096;

}  // namespace

std::string PngDecoder::OpeningFailedMessage(const std::string& path) {
    return "Opening " + path + " failed";
}

int PngDecoder::Decode(const std::string& path, DecodedImage& image, std::string& error,
                       std::string* detail) {
    image = DecodedImage{};
    auto fail = [&](int code, const std::string& why) {
        image = DecodedImage{};
        error = OpeningFailedMessage(path);
        if (detail != nullptr) {
            *detail = why;
        }
        return code;
    };

    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        return fail(kOpenFailed, std::strerror(errno));
    }

    // The simplified reading interface keeps libpng's error jumps inside libpng,
    // so no C++ frame is ever jumped over; it reports failures in `message`.
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    ImageReadGuard guard{&png};
    if (png_image_begin_read_from_stdio(&png, file.get()) == 0) {
        return fail(kDecodeFailed, png.message);
    }
    if (png.width == 0 || png.height == 0 || png.width > kMaxSide || png.height > kMaxSide) {
        return fail(kDecodeFailed, "unsupported picture size");
    }
    png.format = PNG_FORMAT_BGRA;

    DecodedImage decoded;
    decoded.width = static_cast<int>(png.width);
    decoded.height = static_cast<int>(png.height);
    decoded.pixels.resize(static_cast<std::size_t>(decoded.Stride()) * decoded.height);
    if (png_image_finish_read(&png, nullptr, decoded.pixels.data(), decoded.Stride(), nullptr) ==
        0) {
        return fail(kDecodeFailed, png.message);
    }
    image = std::move(decoded);
    error.clear();
    return kOk;
}

}  // namespace vorn
