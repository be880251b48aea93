#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn::station {

// The items of one answer to a listener, kept as one row of the SQLite store's
// recent memory: the item ids as decimal text separated by spaces, and their
// reasons each as its length in bytes, a colon and the text ("12:Because...").
// One row per answer instead of one per item takes the recent writer's index
// upkeep down by the answer's size.
class RecentSet {
public:
    struct Entry {
        std::int32_t item = 0;
        std::string why;
    };

    void Add(std::int32_t item, const std::string& why);
    std::size_t Count() const { return count_; }
    const std::string& Items() const { return items_; }
    const std::string& Whys() const { return whys_; }

    // The entries of a stored set, in the order they were added; false, with
    // `out` empty, when the row is damaged (a count that disagrees with the
    // texts, a malformed id or length).
    static bool Decode(std::int64_t count, const std::string& items, const std::string& whys,
                       std::vector<Entry>& out);

private:
    std::size_t count_ = 0;
    std::string items_;
    std::string whys_;
};

}  // namespace vorn::station
