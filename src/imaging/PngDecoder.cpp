#include "imaging/PngDecoder.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdint>
#include <memory>
#include <vector>

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

// True unless a chunk claims more bytes than the file has left after it.
// libpng allocates a chunk's declared length before reading it, so an 80-byte
// file declaring a 400 MB text chunk would cost 400 MB; the file's own size
// bounds every chunk instead. Truncation inside the last chunk is left to libpng.
bool ChunkLengthsFit(const std::vector<unsigned char>& bytes) {
    constexpr std::size_t kSignatureSize = 8;
    constexpr std::size_t kChunkOverhead = 12;  // length, type, CRC
    std::size_t at = kSignatureSize;
    while (at + 8 <= bytes.size()) {
        const std::uint32_t length = (std::uint32_t{bytes[at]} << 24) | (std::uint32_t{bytes[at + 1]} << 16) |
                                     (std::uint32_t{bytes[at + 2]} << 8) | std::uint32_t{bytes[at + 3]};
        if (length > 0x7fffffffu || length > bytes.size() - at - 8) {
            return false;
        }
        if (std::memcmp(&bytes[at + 4], "IEND", 4) == 0) {
            return true;
        }
        at += kChunkOverhead + length;
    }
    return true;
}

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

    std::vector<unsigned char> bytes;
    {
        std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
        if (!file) {
            return fail(kOpenFailed, std::strerror(errno));
        }
        unsigned char buffer[65536];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;) {
            bytes.insert(bytes.end(), buffer, buffer + n);
        }
        if (std::ferror(file.get()) != 0) {
            return fail(kOpenFailed, std::strerror(errno));
        }
    }
    if (!ChunkLengthsFit(bytes)) {
        return fail(kDecodeFailed, kChunkTooLong);
    }

    // The simplified reading interface keeps libpng's error jumps inside libpng,
    // so no C++ frame is ever jumped over; it reports failures in `message`.
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    ImageReadGuard guard{&png};
    if (png_image_begin_read_from_memory(&png, bytes.data(), bytes.size()) == 0) {
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
