#include "station/media/ArtFinder.h"

#include <taglib/aifffile.h>
#include <taglib/apefile.h>
#include <taglib/apetag.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/wavfile.h>
#include <taglib/wavpackfile.h>
#include <taglib/xiphcomment.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace fs = std::filesystem;

namespace vorn::station {
namespace {

// Pictures in the file's order, each marked whether it is the front cover.
using Found = std::vector<std::pair<bool, std::string>>;

std::string Bytes(const TagLib::ByteVector& data) { return std::string(data.data(), data.size()); }

void FromId3v2(const TagLib::ID3v2::Tag* tag, Found& found) {
    if (tag == nullptr) {
        return;
    }
    for (const TagLib::ID3v2::Frame* frame : tag->frameList("APIC")) {
        if (const auto* picture = dynamic_cast<const TagLib::ID3v2::AttachedPictureFrame*>(frame)) {
            found.emplace_back(picture->type() == TagLib::ID3v2::AttachedPictureFrame::FrontCover,
                               Bytes(picture->picture()));
        }
    }
}

void FromFlacPictures(const TagLib::List<TagLib::FLAC::Picture*>& pictures, Found& found) {
    for (const TagLib::FLAC::Picture* picture : pictures) {
        found.emplace_back(picture->type() == TagLib::FLAC::Picture::FrontCover, Bytes(picture->data()));
    }
}

// An APE cover item holds a file name, a zero byte, then the picture.
void FromApe(const TagLib::APE::Tag* tag, Found& found) {
    if (tag == nullptr) {
        return;
    }
    for (const char* key : {"COVER ART (FRONT)", "COVER ART (OTHER)"}) {
        const auto item = tag->itemListMap().find(key);
        if (item == tag->itemListMap().end()) {
            continue;
        }
        const TagLib::ByteVector data = item->second.binaryData();
        const int zero = data.find('\0');
        if (zero >= 0) {
            found.emplace_back(std::string(key) == "COVER ART (FRONT)",
                               Bytes(data.mid(static_cast<unsigned>(zero) + 1)));
        }
    }
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

}  // namespace

std::vector<std::string> ArtFinder::Embedded(const std::string& path) {
    Found found;
    TagLib::FileRef ref(path.c_str(), false);
    TagLib::File* file = ref.file();
    if (file == nullptr || !file->isValid()) {
        return {};
    }
    if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(file)) {
        FromId3v2(mpeg->hasID3v2Tag() ? mpeg->ID3v2Tag() : nullptr, found);
        FromApe(mpeg->hasAPETag() ? mpeg->APETag() : nullptr, found);
    } else if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(file)) {
        FromFlacPictures(flac->pictureList(), found);
        if (flac->hasXiphComment()) {
            FromFlacPictures(flac->xiphComment()->pictureList(), found);
        }
        FromId3v2(flac->hasID3v2Tag() ? flac->ID3v2Tag() : nullptr, found);
    } else if (auto* xiph = dynamic_cast<TagLib::Ogg::XiphComment*>(file->tag())) {
        FromFlacPictures(xiph->pictureList(), found);  // Ogg Vorbis, Opus, Speex, Ogg FLAC
    } else if (auto* mp4 = dynamic_cast<TagLib::MP4::File*>(file)) {
        if (mp4->hasMP4Tag() && mp4->tag()->contains("covr")) {
            for (const TagLib::MP4::CoverArt& cover : mp4->tag()->item("covr").toCoverArtList()) {
                found.emplace_back(false, Bytes(cover.data()));
            }
        }
    } else if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(file)) {
        FromId3v2(wav->hasID3v2Tag() ? wav->ID3v2Tag() : nullptr, found);
    } else if (auto* aiff = dynamic_cast<TagLib::RIFF::AIFF::File*>(file)) {
        FromId3v2(aiff->hasID3v2Tag() ? aiff->tag() : nullptr, found);
    } else if (auto* wavpack = dynamic_cast<TagLib::WavPack::File*>(file)) {
        FromApe(wavpack->hasAPETag() ? wavpack->APETag() : nullptr, found);
    } else if (auto* ape = dynamic_cast<TagLib::APE::File*>(file)) {
        FromApe(ape->hasAPETag() ? ape->APETag() : nullptr, found);
    }
    std::stable_partition(found.begin(), found.end(), [](const auto& picture) { return picture.first; });
    std::vector<std::string> pictures;
    for (auto& [front, bytes] : found) {
        if (!bytes.empty()) {
            pictures.push_back(std::move(bytes));
        }
    }
    return pictures;
}

std::vector<std::string> ArtFinder::BesideFile(const std::string& path) {
    static const std::string kNames[] = {"cover", "folder", "front"};
    std::vector<std::pair<int, std::string>> ranked;
    std::error_code code;
    for (fs::directory_iterator it(fs::path(path).parent_path(), code), end; !code && it != end; it.increment(code)) {
        const std::string extension = Lower(it->path().extension().string());
        if (extension != ".jpg" && extension != ".jpeg" && extension != ".png") {
            continue;
        }
        const auto name = std::find(std::begin(kNames), std::end(kNames), Lower(it->path().stem().string()));
        std::error_code ignored;
        if (name != std::end(kNames) && it->is_regular_file(ignored)) {
            ranked.emplace_back(static_cast<int>(name - std::begin(kNames)), it->path().string());
        }
    }
    std::sort(ranked.begin(), ranked.end());
    std::vector<std::string> files;
    for (auto& [rank, file] : ranked) {
        files.push_back(std::move(file));
    }
    return files;
}

}  // namespace vorn::station
