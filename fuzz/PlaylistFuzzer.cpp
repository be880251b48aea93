// "pl.txt" loading, the way the program does it: a VornPlaylist built on the
// file (each line through VornPlaylistItem::FromXml, then relocation of items
// whose files moved) and saved again when it goes. Whatever it keeps must load
// again to the same records: saving the reloaded library gives the same lines.
//
// The media folder is the harness's own, holding a few files under every rating
// folder with the names the seed corpus uses, so relocation finds some items.
// Nothing here plays, moves, purges or removes items: a damaged file may name
// any location, and the harness must not touch files outside its folder.

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "library/RatingFolders.h"
#include "library/VornPlaylist.h"

namespace {

using namespace vorn;

// The file names of the station's demo records in the seed corpus.
const char* const kKnownFiles[] = {"Ada Vale - Slow Tide [1].mp3", "Ada Vale - First Light [2].mp3",
                                   "Bo Reyes - Night Road [3].mp3", "Bo Reyes - Quiet Hour [4].mp3"};

std::string MediaFolder() {
    static const std::string folder = [] {
        const std::string media = fuzz::Scratch::Get() / "media/";
        for (std::int32_t rating = 0; rating <= 5; ++rating) {
            const std::string dir = media + RatingFolder(rating);
            std::filesystem::create_directories(dir);
            for (const char* name : kKnownFiles) {
                std::ofstream(dir + name) << "ID3";
            }
        }
        return media;
    }();
    return folder;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> SortedLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

bool Plain(const std::string& text) { return text.find_first_of("<>") == std::string::npos; }

// True when no record of the file holds "<" or ">" in a value, read line by line
// as the playlist reads them. Such values cannot survive the string-backed form
// (values from the server are cleaned of them before they are stored), so those
// files are left out of the round-trip check.
bool AllValuesPlain(const std::string& text) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const auto item = VornPlaylistItem::FromXml(XmlElement(line));
        if (!item) {
            continue;
        }
        const Recommendation& record = item->GetRecommendation();
        if (!Plain(item->FileName()) || !Plain(item->Location()) || !Plain(record.MediaUrl().Url()) ||
            !Plain(record.SourceUrl().Url()) || !Plain(record.FileName())) {
            return false;
        }
        for (const auto& [name, value] : record.Details()) {
            if (!Plain(name) || !Plain(value)) {
                return false;
            }
        }
    }
    return true;
}

// Loads the file into a playlist and lets it save on the way out.
std::string LoadAndSave(const std::string& path) {
    { VornPlaylist playlist(MediaFolder(), nullptr, Clock::System(), nullptr, path); }
    return ReadAll(path);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    MediaFolder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = fuzz::Scratch::Get() / "pl.txt";
    if (!fuzz::Scratch::WriteFile(path, data, size)) {
        return 0;
    }
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string first = LoadAndSave(path);
    if (!AllValuesPlain(input)) {
        return 0;
    }
    const std::string second = LoadAndSave(path);
    // Loading puts rated items in front in reverse order, so compare the records.
    fuzz::Check(SortedLines(first) == SortedLines(second), "a saved library loads to the same records");
    return 0;
}
