// The client's rating outbox reading "ratings-outbox.txt" at start, as a crash
// in the middle of an append, a full disk or a hand edit may have left it. The
// input is the file; RatingOutbox's constructor reads it, and then
// - every well-formed line (RatingOutbox::ParseLine, ended by its line break)
//   is waiting, the later line of an item counting, oldest first;
// - every other line, with its line break, is in the damaged file, and the
//   outbox then holds only the waiting lines; with nothing damaged the outbox
//   is left as it was;
// - a second start reads the same ratings and finds nothing damaged;
// - a rating added afterwards is numbered after every one read back.

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "player/RatingOutbox.h"

namespace {

using namespace vorn;
using Entry = RatingOutbox::Entry;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::tuple<std::int64_t, std::int32_t, std::int32_t>> Sorted(const std::vector<Entry>& entries) {
    std::vector<std::tuple<std::int64_t, std::int32_t, std::int32_t>> sorted;
    for (const Entry& e : entries) {
        sorted.emplace_back(e.sequence, e.itemId, e.stars);
    }
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}

bool OldestFirst(const std::vector<Entry>& entries) {
    return std::is_sorted(entries.begin(), entries.end(),
                          [](const Entry& a, const Entry& b) { return a.sequence < b.sequence; });
}

// The ratings read are those expected (items unique), with the same numbers or,
// when the file's numbers left no room to count on, numbered afresh from 1 in
// the same order.
bool SameRatings(const std::vector<Entry>& read, const std::vector<Entry>& expected) {
    if (Sorted(read) == Sorted(expected)) {
        return true;
    }
    std::unordered_map<std::int32_t, Entry> byItem;
    for (const Entry& e : expected) {
        byItem[e.itemId] = e;
    }
    for (std::size_t i = 0; i < read.size(); ++i) {
        const auto it = byItem.find(read[i].itemId);
        if (it == byItem.end() || it->second.stars != read[i].stars ||
            read[i].sequence != static_cast<std::int64_t>(i) + 1 ||
            (i > 0 && byItem.at(read[i - 1].itemId).sequence > it->second.sequence)) {
            return false;
        }
    }
    return read.size() == expected.size();
}

// A line ParseLine takes is three runs of digits and two spaces, and reads the
// same written without leading zeros.
bool LooksWellFormed(const std::string& line, const Entry& entry) {
    std::string canonical;
    bool leading = true;
    for (const char c : line) {
        if (c == ' ') {
            if (leading) canonical += '0';
            canonical += ' ';
            leading = true;
        } else if (c < '0' || c > '9') {
            return false;
        } else if (c != '0' || !leading) {
            canonical += c;
            leading = false;
        }
    }
    if (leading) canonical += '0';
    return canonical == std::to_string(entry.itemId) + " " + std::to_string(entry.stars) + " " +
                            std::to_string(entry.sequence);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Scratch::Get();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string folder = fuzz::Scratch::Get() / "outbox";
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    std::filesystem::create_directories(folder, error);
    const std::string path = folder + "/ratings-outbox.txt";
    const std::string damagedPath = folder + "/ratings-outbox.damaged";
    if (!fuzz::Scratch::WriteFile(path, data, size)) {
        return 0;
    }
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::vector<Entry> expected;
    std::string damaged;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t newline = text.find('\n', start);
        const std::string line = text.substr(start, newline == std::string::npos ? std::string::npos : newline - start);
        start = newline == std::string::npos ? text.size() : newline + 1;
        Entry entry;
        if (newline == std::string::npos || !RatingOutbox::ParseLine(line, entry)) {
            damaged += line + "\n";
            continue;
        }
        fuzz::Check(LooksWellFormed(line, entry), "a line read is three numbers as written");
        fuzz::Check(entry.stars >= 1 && entry.stars <= 5 && entry.sequence >= 1 && entry.itemId >= 0,
                    "a line read holds a rating");
        const auto same =
            std::find_if(expected.begin(), expected.end(), [&](const Entry& e) { return e.itemId == entry.itemId; });
        if (same != expected.end()) {
            if (same->sequence > entry.sequence) continue;
            expected.erase(same);
        }
        expected.push_back(entry);
    }

    std::vector<Entry> kept;
    {
        RatingOutbox outbox(path, damagedPath);
        const std::vector<Entry> waiting = outbox.Oldest(expected.size() + 1);
        fuzz::Check(outbox.Size() == expected.size() && waiting.size() == expected.size(),
                    "every well-formed line is waiting");
        fuzz::Check(OldestFirst(waiting), "oldest first");
        const bool renumbered = Sorted(waiting) != Sorted(expected);
        fuzz::Check(SameRatings(waiting, expected), "the ratings are those of the lines");
        fuzz::Check(ReadAll(damagedPath) == damaged, "the damaged lines are kept aside");
        if (damaged.empty() && !renumbered) {
            fuzz::Check(ReadAll(path) == text, "an undamaged outbox is left as it was");
        }
        std::int32_t fresh = 1;
        while (std::any_of(waiting.begin(), waiting.end(), [&](const Entry& e) { return e.itemId == fresh; })) {
            ++fresh;
        }
        outbox.Add(fresh, 3);
        kept = outbox.Oldest(expected.size() + 1);
        fuzz::Check(kept.back().itemId == fresh && (waiting.empty() || kept.back().sequence > waiting.back().sequence),
                    "a new rating comes after those read back");
    }

    RatingOutbox again(path, damagedPath);
    fuzz::Check(SameRatings(again.Oldest(kept.size() + 1), kept), "a second start reads the same ratings");
    fuzz::Check(ReadAll(damagedPath) == damaged, "a second start finds nothing damaged");
    return 0;
}
