#include "station/catalogue/NamesFromPath.h"

#include <algorithm>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/AsciiCase.h"
#include "station/base/Utf8Text.h"

namespace vorn::station {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '_')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '_')) text.remove_suffix(1);
    return text;
}

// Folders that split an album into its discs: "CD1", "cd 2", "Disc 1", "Disk 03".
bool IsDiscFolder(std::string_view name) {
    for (const std::string_view word : {std::string_view("cd"), std::string_view("disc"), std::string_view("disk")}) {
        if (name.size() > word.size() && EqualsIgnoringCase(name.substr(0, word.size()), word)) {
            std::string_view rest = name.substr(word.size());
            while (!rest.empty() && (rest.front() == ' ' || rest.front() == '_')) rest.remove_prefix(1);
            if (!rest.empty() && rest.size() <= 3 &&
                std::all_of(rest.begin(), rest.end(), [](char c) { return IsDigit(c); })) {
                return true;
            }
        }
    }
    return false;
}

// "Artist - Name" as its two halves, trimmed; nothing unless both hold something.
std::optional<std::pair<std::string, std::string>> SplitAtDash(std::string_view text) {
    const std::size_t dash = text.find(" - ");
    if (dash == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view before = Trim(text.substr(0, dash)), after = Trim(text.substr(dash + 3));
    if (before.empty() || after.empty()) {
        return std::nullopt;
    }
    return std::make_pair(std::string(before), std::string(after));
}

}  // namespace

std::string TitleWithoutNumber(std::string_view stem) {
    std::size_t at = 0;
    const auto digits = [&] {
        const std::size_t start = at;
        while (at < stem.size() && at - start < 3 && IsDigit(stem[at])) ++at;
        return at - start;
    };
    if (digits() == 0) {
        return std::string(Trim(stem));
    }
    // A disc number before the track's: "1-03".
    if (at + 1 < stem.size() && stem[at] == '-' && IsDigit(stem[at + 1])) {
        const std::size_t disc = at;
        ++at;
        if (digits() == 0 || (at < stem.size() && IsDigit(stem[at]))) {
            at = disc;
        }
    }
    if (at < stem.size() && IsDigit(stem[at])) {
        return std::string(Trim(stem));  // a number of four digits or more is a name ("1999")
    }
    // The number must end in a separator: "01 Title", "01 - Title", "1. Title", "01_Title".
    const std::size_t numberEnd = at;
    while (at < stem.size() && (stem[at] == ' ' || stem[at] == '_')) ++at;
    if (at < stem.size() && (stem[at] == '-' || stem[at] == '.' || stem[at] == ')')) {
        ++at;
    } else if (at == numberEnd) {
        return std::string(Trim(stem));  // "3rd Stone", "99Problems"
    }
    const std::string_view rest = Trim(stem.substr(at));
    return std::string(rest.empty() ? Trim(stem) : rest);
}

void FillNamesFromPath(ItemRecord& item, std::string_view musicDir) {
    std::string_view relative = item.path;
    if (!musicDir.empty() && relative.size() > musicDir.size() && relative.compare(0, musicDir.size(), musicDir) == 0 &&
        (relative[musicDir.size()] == '/' || musicDir.back() == '/')) {
        relative.remove_prefix(musicDir.size());
    } else {
        const std::size_t slash = relative.rfind('/');
        relative.remove_prefix(slash == std::string_view::npos ? 0 : slash);  // only the name
    }
    std::vector<std::string_view> parts;
    for (std::size_t start = 0; start <= relative.size();) {
        const std::size_t slash = std::min(relative.find('/', start), relative.size());
        if (slash > start) parts.push_back(relative.substr(start, slash - start));
        start = slash + 1;
    }
    if (parts.empty()) {
        return;
    }
    std::string_view stem = parts.back();
    parts.pop_back();
    if (const std::size_t dot = stem.rfind('.'); dot != std::string_view::npos && dot > 0) {
        stem = stem.substr(0, dot);
    }
    if (!parts.empty() && IsDiscFolder(parts.back())) {
        parts.pop_back();
    }
    std::string title = TitleWithoutNumber(stem);
    std::string artist;
    std::string album;
    if (parts.size() >= 2) {
        artist = std::string(Trim(parts[parts.size() - 2]));
        album = std::string(Trim(parts.back()));
    } else if (auto named = SplitAtDash(title)) {
        // No artist's folder: the artist is in the file's name ("Rock/Artist - Title.mp3").
        std::tie(artist, title) = std::move(*named);
        if (parts.size() == 1) album = std::string(Trim(parts.back()));
    } else if (parts.size() == 1) {
        // Or in its folder's ("Artist - Album/01 Title.mp3").
        if (auto folder = SplitAtDash(Trim(parts.back()))) {
            std::tie(artist, album) = std::move(*folder);
        } else {
            album = std::string(Trim(parts.back()));
        }
    }
    if (item.artist.empty()) item.artist = AsUtf8(artist);
    if (item.album.empty()) item.album = AsUtf8(album);
    if (item.title.empty()) item.title = AsUtf8(title);
}

}  // namespace vorn::station
