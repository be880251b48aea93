#include "station/media/ReplayGainTags.h"

#include <taglib/apetag.h>
#include <taglib/fileref.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tpropertymap.h>

#include <charconv>
#include <cmath>

namespace vorn::station {
namespace {

constexpr const char* kGain = "REPLAYGAIN_TRACK_GAIN";
constexpr const char* kPeak = "REPLAYGAIN_TRACK_PEAK";
// Beyond these a tag holds no gain or peak that any tool wrote for music.
constexpr double kMostTaggedGain = 60;
constexpr double kMostTaggedPeak = 16;

// The number at the start of a tag's text ("-7.50 dB", " 0.988"), or NaN.
double NumberIn(const TagLib::String& text) {
    const std::string value = text.to8Bit(true);
    std::size_t at = value.find_first_not_of(" \t");
    if (at == std::string::npos) {
        return NAN;
    }
    if (value[at] == '+') {
        ++at;
    }
    double number = NAN;
    const auto [end, failure] = std::from_chars(value.data() + at, value.data() + value.size(), number);
    (void)end;
    return failure == std::errc() ? number : NAN;
}

// The first value of `key` in any of the maps, NaN when none has it.
double Find(std::initializer_list<const TagLib::PropertyMap*> maps, const char* key) {
    for (const TagLib::PropertyMap* map : maps) {
        if (map != nullptr && map->contains(key) && !(*map)[key].isEmpty()) {
            return NumberIn((*map)[key].front());
        }
    }
    return NAN;
}

}  // namespace

bool ReplayGainTags::Read(const std::string& path, Loudness& out, std::string& problem) {
    TagLib::FileRef file(path.c_str(), false);
    if (file.isNull() || file.file() == nullptr || !file.file()->isValid()) {
        return false;
    }
    // An MP3 file may carry the tags in its ID3v2 tag or its APE tag; the
    // file's own properties are those of the first it has.
    const TagLib::PropertyMap own = file.file()->properties();
    TagLib::PropertyMap id3v2;
    TagLib::PropertyMap ape;
    if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(file.file()); mpeg != nullptr) {
        if (mpeg->hasID3v2Tag()) {
            id3v2 = mpeg->ID3v2Tag()->properties();
        }
        if (mpeg->hasAPETag()) {
            ape = mpeg->APETag()->properties();
        }
    }
    const double gain = Find({&own, &id3v2, &ape}, kGain);
    const double peak = Find({&own, &id3v2, &ape}, kPeak);
    if (std::isnan(gain) && std::isnan(peak)) {
        return false;
    }
    if (!(std::fabs(gain) <= kMostTaggedGain)) {
        problem = std::string(kGain) + " is missing or unusable";
        return false;
    }
    if (!(peak > 0 && peak <= kMostTaggedPeak)) {
        problem = std::string(kPeak) + " is missing or unusable";
        return false;
    }
    out.integratedLufs = kReferenceLufs - gain;
    out.truePeakDbtp = 20 * std::log10(peak);
    return true;
}

}  // namespace vorn::station
