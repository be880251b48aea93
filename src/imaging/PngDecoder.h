#pragma once

#include <string>

#include "imaging/DecodedImage.h"

namespace vorn {

// Decodes PNG files (every colour type and bit depth libpng reads) into a
// DecodedImage. Colours come out as stored, 8 bits per channel; a picture
// without alpha comes out fully opaque.
class PngDecoder {
public:
    static constexpr int kOk = 0;
    static constexpr int kOpenFailed = 1;    // missing or unreadable file
    static constexpr int kDecodeFailed = 2;  // not a PNG, damaged or truncated
    // The detail of a file refused before decoding because one of its chunks
    // claims more bytes than the file holds.
    static constexpr const char* kChunkTooLong = "a chunk is longer than the file";

    // Decodes the file at `path` (relative paths against the working folder).
    // On failure `image` is left empty, `error` holds "Opening <path> failed" and
    // `detail` (when given) the decoder's own explanation.
    static int Decode(const std::string& path, DecodedImage& image, std::string& error,
                      std::string* detail = nullptr);

    // The message of a failed decode, the path filled in.
    static std::string OpeningFailedMessage(const std::string& path);
};

}  // namespace vorn
