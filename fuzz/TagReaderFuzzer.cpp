// The station's tag reader on a whole media file, as a catalogue scan reads
// each file of the music folder. The first byte picks the file's name, one of
// every kind of audio file a music folder holds (the format is told by the
// content, so a misnamed file is a case of its own); the rest is the file.
// ReadTags then
// - takes it, with a format, trimmed tags and a playing time, or
// - refuses it as not audio or unreadable, every tag and the time empty.

#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "station/catalogue/TagReader.h"

namespace {

using vorn::station::ItemRecord;

constexpr const char* kNames[] = {"item.mp3", "item.flac", "item.ogg", "item.opus", "item.wav", "item.m4a"};

bool Trimmed(const std::string& text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    return text.empty() || (!blank(text.front()) && !blank(text.back()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::error_code error;
    std::filesystem::create_directories(vorn::fuzz::Scratch::Get() / "music", error);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::string path =
        vorn::fuzz::Scratch::Get() / ("music/" + std::string(kNames[data[0] % std::size(kNames)]));
    if (!vorn::fuzz::Scratch::WriteFile(path, data + 1, size - 1)) {
        return 0;
    }
    ItemRecord item;
    item.path = path;
    item.title = item.artist = item.album = item.genre = "left over";
    item.lengthSeconds = 99;
    const vorn::station::SkipReason skipped = vorn::station::ReadTags(item);
    vorn::fuzz::Check(skipped == vorn::station::SkipReason::None || skipped == vorn::station::SkipReason::NotAudio ||
                          skipped == vorn::station::SkipReason::Unreadable,
                      "a reason the tags tell");
    if (skipped == vorn::station::SkipReason::None) {
        vorn::fuzz::Check(!item.format.empty(), "a format");
        vorn::fuzz::Check(Trimmed(item.title) && Trimmed(item.artist) && Trimmed(item.album) && Trimmed(item.genre),
                          "tags without blanks around them");
        vorn::fuzz::Check(item.lengthSeconds >= 0 && item.bitrate >= 0, "a playing time and a bitrate");
    } else {
        vorn::fuzz::Check(item.title.empty() && item.artist.empty() && item.album.empty() && item.genre.empty() &&
                              item.lengthSeconds == 0,
                          "a refused file keeps nothing of its tags");
    }
    return 0;
}
