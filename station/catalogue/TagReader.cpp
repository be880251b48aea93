#include "station/catalogue/TagReader.h"

#include <fcntl.h>
#include <unistd.h>

#include <taglib/aifffile.h>
#include <taglib/apefile.h>
#include <taglib/asffile.h>
#include <taglib/audioproperties.h>
#include <taglib/flacfile.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2tag.h>
#include <taglib/infotag.h>
#include <taglib/mp4file.h>
#include <taglib/mpcfile.h>
#include <taglib/mpegfile.h>
#include <taglib/oggflacfile.h>
#include <taglib/opusfile.h>
#include <taglib/speexfile.h>
#include <taglib/tag.h>
#include <taglib/trueaudiofile.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <taglib/wavpackfile.h>

#include <algorithm>
#include <memory>

#include "station/base/Utf8Text.h"
#include "station/catalogue/AudioFormat.h"

namespace vorn::station {
namespace {

// Enough of a file's start to tell its format: MPEG frames may follow some
// padding, an Ogg stream's first packet its page header.
constexpr std::size_t kHeadBytes = 8192;

std::string Trimmed(const TagLib::String& text) {
    std::string value = AsUtf8(text.to8Bit(true));
    const std::size_t first = value.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    const std::size_t last = value.find_last_not_of(" \t\r\n");
    return value.substr(first, last - first + 1);
}

// Text that a tag declares Latin-1 (every ID3v1 tag, ID3v2 frames of encoding
// 0, RIFF INFO chunks) is as often the tagger's own code page, or UTF-8 from
// a tool that ignores the declaration: it is read as AsUtf8 reads a file name.
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

struct InfoText final : TagLib::RIFF::Info::StringHandler {
    TagLib::String parse(const TagLib::ByteVector& data) const override { return FromDeclaredLatin1(data); }
    TagLib::ByteVector render(const TagLib::String& text) const override { return text.data(TagLib::String::UTF8); }
};

// TagLib keeps one handler of each kind for the whole process.
bool UseDeclaredLatin1Handlers() {
    static const Id3v2Latin1 id3v2;
    static const Id3v1Text id3v1;
    static const InfoText info;
    TagLib::ID3v2::Tag::setLatin1StringHandler(&id3v2);
    TagLib::ID3v1::Tag::setStringHandler(&id3v1);
    TagLib::RIFF::Info::Tag::setStringHandler(&info);
    return true;
}

// The start of the file after any ID3v2 tag; false when it cannot be read.
bool ReadHead(const std::string& path, std::string& head) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const auto readAt = [fd](off_t offset, std::string& out) {
        out.assign(kHeadBytes, '\0');
        std::size_t got = 0;
        while (got < out.size()) {
            const ssize_t n = ::pread(fd, out.data() + got, out.size() - got, offset + static_cast<off_t>(got));
            if (n < 0) {
                return false;
            }
            if (n == 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        out.resize(got);
        return true;
    };
    bool ok = readAt(0, head);
    // An ID3v2 tag may hold pictures of megabytes: what follows it tells the format.
    if (const std::size_t tag = ok ? Id3v2Size(head) : 0; tag > 0) {
        ok = readAt(static_cast<off_t>(tag), head);
    }
    ::close(fd);
    return ok;
}

// The TagLib file of a format (null for formats TagLib does not read).
std::unique_ptr<TagLib::File> OpenAs(const std::string& format, const char* path) {
    const auto properties = TagLib::AudioProperties::Average;
    if (format == "mp3" || format == "mp2") return std::make_unique<TagLib::MPEG::File>(path, true, properties);
    if (format == "flac") return std::make_unique<TagLib::FLAC::File>(path, true, properties);
    if (format == "ogg") return std::make_unique<TagLib::Ogg::Vorbis::File>(path, true, properties);
    if (format == "opus") return std::make_unique<TagLib::Ogg::Opus::File>(path, true, properties);
    if (format == "oga") return std::make_unique<TagLib::Ogg::FLAC::File>(path, true, properties);
    if (format == "spx") return std::make_unique<TagLib::Ogg::Speex::File>(path, true, properties);
    if (format == "wav") return std::make_unique<TagLib::RIFF::WAV::File>(path, true, properties);
    if (format == "aiff") return std::make_unique<TagLib::RIFF::AIFF::File>(path, true, properties);
    if (format == "m4a") return std::make_unique<TagLib::MP4::File>(path, true, properties);
    if (format == "wv") return std::make_unique<TagLib::WavPack::File>(path, true, properties);
    if (format == "ape") return std::make_unique<TagLib::APE::File>(path, true, properties);
    if (format == "wma") return std::make_unique<TagLib::ASF::File>(path, true, properties);
    if (format == "mpc") return std::make_unique<TagLib::MPC::File>(path, true, properties);
    if (format == "tta") return std::make_unique<TagLib::TrueAudio::File>(path, true, properties);
    return nullptr;
}

}  // namespace

SkipReason ReadTags(ItemRecord& item) {
    static const bool handlersSet = UseDeclaredLatin1Handlers();
    (void)handlersSet;
    item.artist.clear();
    item.title.clear();
    item.album.clear();
    item.genre.clear();
    item.lengthSeconds = 0;
    item.bitrate = 0;
    item.format.clear();
    std::string head;
    if (!ReadHead(item.path, head)) {
        return SkipReason::Unreadable;
    }
    const std::string format = SniffAudioFormat(head);
    if (format.empty()) {
        return SkipReason::NotAudio;
    }
    item.format = format;
    const std::unique_ptr<TagLib::File> file = OpenAs(format, item.path.c_str());
    if (!file) {
        return SkipReason::None;  // no tags to read; the decoding tells the rest
    }
    const TagLib::AudioProperties* audio = file->audioProperties();
    // TagLib accepts files without a single audio frame; such a file is no music.
    if (!file->isValid() || audio == nullptr || audio->sampleRate() <= 0 ||
        ((format == "mp3" || format == "mp2") && audio->bitrate() <= 0)) {
        return SkipReason::Unreadable;
    }
    if (const auto* mp4 = dynamic_cast<const TagLib::MP4::Properties*>(audio);
        mp4 != nullptr && mp4->codec() == TagLib::MP4::Properties::ALAC) {
        item.format = "alac";
    }
    if (const TagLib::Tag* tag = file->tag(); tag != nullptr) {
        item.artist = Trimmed(tag->artist());
        item.title = Trimmed(tag->title());
        item.album = Trimmed(tag->album());
        item.genre = Trimmed(tag->genre());
    }
    // A frame count far beyond the file overflows TagLib's time: then it is unknown.
    item.lengthSeconds = std::max(audio->lengthInSeconds(), 0);
    item.bitrate = std::max(audio->bitrate(), 0);
    return SkipReason::None;
}

}  // namespace vorn::station
