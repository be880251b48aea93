#include "station/catalogue/TagReader.h"

#include <taglib/audioproperties.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tag.h>

#include <algorithm>
#include <filesystem>

#include "station/base/Utf8Text.h"

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

// Text that a tag declares Latin-1 (every ID3v1 tag, ID3v2 frames of encoding
// 0) is as often the tagger's own code page, or UTF-8 from a tool that
// ignores the declaration: it is read as AsUtf8 reads a file name.
TagLib::String FromDeclaredLatin1(const TagLib::ByteVector& data) {
    const std::string_view bytes(data.data(), data.size());
    return TagLib::String(AsUtf8(bytes.substr(0, bytes.find('\0'))), TagLib::String::UTF8);
}

struct Id3v2Latin1 final : TagLib::ID3v2::Latin1StringHandler {
    TagLib::String parse(const TagLib::ByteVector& data) const override { return FromDeclaredLatin1(data); }
};

struct Id3v1Text final : TagLib::ID3v1::StringHandler {
    TagLib::String parse(const TagLib::ByteVector& data) const override { return FromDeclaredLatin1(data); }
};

// TagLib keeps one handler of each kind for the whole process.
bool UseDeclaredLatin1Handlers() {
    static const Id3v2Latin1 id3v2;
    static const Id3v1Text id3v1;
    TagLib::ID3v2::Tag::setLatin1StringHandler(&id3v2);
    TagLib::ID3v1::Tag::setStringHandler(&id3v1);
    return true;
}

}  // namespace

bool ReadTags(ItemRecord& item) {
    static const bool handlersSet = UseDeclaredLatin1Handlers();
    (void)handlersSet;
    item.title = AsUtf8(std::filesystem::path(item.path).stem().string());
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
