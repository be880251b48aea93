// PngDecoder on any file: skins are read from disk, so the input is written to
// a file of the harness's own and decoded from there. A decoded picture must
// have the size it claims; the decoder itself refuses sides over 4096 pixels,
// which bounds the memory one input can ask for (64 MiB of pixels).

#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "imaging/PngDecoder.h"

using namespace vorn;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Scratch::Get();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = fuzz::Scratch::Get() / "input.png";
    if (!fuzz::Scratch::WriteFile(path, data, size)) {
        return 0;
    }
    DecodedImage image;
    std::string error;
    std::string detail;
    const int result = PngDecoder::Decode(path, image, error, &detail);
    if (result == PngDecoder::kOk) {
        fuzz::Check(image.width > 0 && image.height > 0 && image.width <= 4096 && image.height <= 4096,
                    "a decoded picture has a bounded, non-empty size");
        fuzz::Check(image.pixels.size() == static_cast<std::size_t>(image.width) * image.height * 4,
                    "four bytes for every pixel");
        fuzz::Check(error.empty(), "no error on success");
    } else {
        fuzz::Check(result == PngDecoder::kDecodeFailed, "a written file always opens");
        fuzz::Check(image.pixels.empty() && image.width == 0, "a failed decode leaves the picture empty");
        fuzz::Check(error == PngDecoder::OpeningFailedMessage(path), "the failure message names the file");
    }
    return 0;
}
