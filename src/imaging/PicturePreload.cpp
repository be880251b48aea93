#include "imaging/PicturePreload.h"

#include "imaging/PngDecoder.h"

namespace vorn {

PicturePreload::PicturePreload(std::vector<std::string> paths)
    : paths_(std::move(paths)), pictures_(paths_.size()) {
    thread_ = std::jthread([this] {
        for (std::size_t i = 0; i < paths_.size(); ++i) {
            Picture picture;
            picture.result = PngDecoder::Decode(paths_[i], picture.image, picture.error, &picture.detail);
            pictures_[i] = std::move(picture);
        }
    });
}

PicturePreload::~PicturePreload() = default;

std::optional<PicturePreload::Picture> PicturePreload::Take(const std::string& path) {
    if (thread_.joinable()) thread_.join();
    for (std::size_t i = 0; i < paths_.size(); ++i) {
        if (paths_[i] == path && pictures_[i]) {
            std::optional<Picture> taken = std::move(pictures_[i]);
            pictures_[i].reset();
            return taken;
        }
    }
    return std::nullopt;
}

}  // namespace vorn
