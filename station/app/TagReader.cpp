#include "station/app/TagReader.h"

#include <taglib/audioproperties.h>
#include <taglib/mpegfile.h>
#include <taglib/tag.h>

#include <algorithm>
#include <filesystem>

namespace vorn::station {
namespace {

std::string Trimmed(const TagLib::String& text) {
    std::string value = text.to8Bit(true);
    const std::size_t first = value.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    const std::size_t last = value.find_last_not_of(" \t\r\n");
    return value.substr(first, last - first + 1);
}

}  // namespace

bool ReadTags(ItemRecord& item) {
    item.title = std::filesystem::path(item.path).stem().string();
    item.artist.clear();
    item.album.clear();
    item.genre.clear();
    item.lengthSeconds = 0;
    TagLib::MPEG::File file(item.path.c_str(), true, TagLib::AudioProperties::Average);
    const TagLib::AudioProperties* audio = file.audioProperties();
    // TagLib accepts files without a single audio frame; such a file is no music.
    if (!file.isValid() || audio == nullptr || audio->sampleRate() <= 0 || audio->bitrate() <= 0) {
        return false;
    }
    if (const TagLib::Tag* tag = file.tag(); tag != nullptr) {
        item.artist = Trimmed(tag->artist());
        item.album = Trimmed(tag->album());
        item.genre = Trimmed(tag->genre());
        if (std::string title = Trimmed(tag->title()); !title.empty()) {
            item.title = std::move(title);
        }
    }
    // A frame count far beyond the file overflows TagLib's time: then it is unknown.
    item.lengthSeconds = std::max(audio->lengthInSeconds(), 0);
    return true;
}

}  // namespace vorn::station
