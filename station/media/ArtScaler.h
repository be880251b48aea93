#pragma once

#include <atomic>
#include <string>

namespace vorn::station {

// Makes the JPEG that listeners are shown from a picture as a file carries it
// (JPEG, PNG or any image GStreamer's plugins decode): at most kLongestSide
// pixels on its longer side, its proportions kept; a smaller picture keeps
// its size. Decoded and encoded by GStreamer (decodebin, videoscale, jpegenc)
// in low-priority threads of its own.
class ArtScaler {
public:
    static constexpr int kLongestSide = 512;
    // Pictures larger than this are refused before they are decoded: they
    // would cost hundreds of megabytes for a thumbnail.
    static constexpr std::size_t kMostBytes = 16u << 20;
    static constexpr long long kMostPixels = 40'000'000;

    // False with `error` set when the picture cannot be decoded, is too
    // large, crashed the decoding worker, or `stop` was set. In a decoding
    // worker where the station has them (DecodeWorker).
    static bool ToJpeg(const std::string& picture, const std::atomic<bool>& stop, std::string& jpeg,
                       std::string& error);
    // The same in the calling process.
    static bool ToJpegHere(const std::string& picture, const std::atomic<bool>& stop, std::string& jpeg,
                           std::string& error);
    // A decoding worker's answer to a request for a picture's JPEG: made here.
    static std::string Answer(const std::string& picture);

    static constexpr char kRequest = 'A';
};

}  // namespace vorn::station
