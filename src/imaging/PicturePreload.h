#pragma once

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "imaging/DecodedImage.h"

namespace vorn {

// Decodes a list of PNG files on a thread of its own, so that a program can
// read its pictures while it does other work (a start sets up its window
// system meanwhile). The files are read once, in the order given, relative to
// the working folder as it was at construction.
class PicturePreload {
public:
    // What PngDecoder::Decode gave for one file.
    struct Picture {
        int result = 0;
        DecodedImage image;
        std::string error;
        std::string detail;
    };

    explicit PicturePreload(std::vector<std::string> paths);
    ~PicturePreload();  // waits for the decoding to end
    PicturePreload(const PicturePreload&) = delete;
    PicturePreload& operator=(const PicturePreload&) = delete;

    // The decode of `path` (as given to the constructor), handed over once;
    // nothing for a path not in the list or already taken. Waits for the
    // decoding to end. One thread takes: the one that made the object.
    std::optional<Picture> Take(const std::string& path);

private:
    const std::vector<std::string> paths_;
    // Written by thread_ alone until it is joined; read only after that.
    std::vector<std::optional<Picture>> pictures_;
    std::jthread thread_;
};

}  // namespace vorn
