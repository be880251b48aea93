#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace vorn {

inline constexpr const char* kRatingOutboxFileName = "ratings-outbox.txt";
inline constexpr const char* kRatingOutboxDamagedFileName = "ratings-outbox.damaged";

// The ratings the listener gave that the station has not yet acknowledged, kept
// on disk so that neither a station outage nor a crash can lose one. One line
// per item: "<item id> <stars> <sequence>\n"; the sequence orders them, oldest
// first. A rating is on disk (appended and fsynced) before Add returns, and
// leaves the file (rewritten to a temporary file and renamed) only once a
// request holding it was sent.
//
// A line that cannot be read back (damaged by hand, cut off by a crash in the
// middle of an append) is logged, added to the "damaged" file and left out; the
// others still go out.
//
// Safe from any thread.
class RatingOutbox {
public:
    struct Entry {
        std::int32_t itemId = 0;
        std::int32_t stars = 0;
        std::int64_t sequence = 0;
    };

    explicit RatingOutbox(std::string path = kRatingOutboxFileName,
                          std::string damagedPath = kRatingOutboxDamagedFileName);
    RatingOutbox(const RatingOutbox&) = delete;
    RatingOutbox& operator=(const RatingOutbox&) = delete;

    // Stores the rating, replacing one of the same item still waiting. False
    // (logged) when it could not be written to disk: it is still kept and sent
    // in this session.
    bool Add(std::int32_t itemId, std::int32_t stars);
    // Up to `count` waiting ratings, oldest first.
    std::vector<Entry> Oldest(std::size_t count) const;
    // Removes what was sent: each entry unless its item was rated again meanwhile.
    void Acknowledge(const std::vector<Entry>& sent);
    std::size_t Size() const;

    // One line of the file without its line break: exactly three fields of
    // at most 19 decimal digits, one space apart; an item id up to 2^31-1,
    // stars 1 to 5 and a sequence of at least 1. False for anything else.
    static bool ParseLine(const std::string& line, Entry& entry);

private:
    // Reads the file; damaged lines go to the damaged file. Mutex held.
    void Load();
    // Writes every entry to a temporary file and renames it over the outbox.
    bool Rewrite();
    bool Append(const Entry& entry);

    const std::string path_;
    const std::string damagedPath_;
    mutable std::mutex mutex_;  // guards entries_, nextSequence_ and both files
    std::vector<Entry> entries_;  // ascending sequence
    std::int64_t nextSequence_ = 1;
};

}  // namespace vorn
