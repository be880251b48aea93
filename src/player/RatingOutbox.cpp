#include "player/RatingOutbox.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "foundation/LogEntry.h"
#include "platform/DurableFile.h"

namespace fs = std::filesystem;

namespace vorn {
namespace {

// Far beyond the ratings of any lifetime, and far from overflowing.
constexpr std::int64_t kHighestSequence = std::numeric_limits<std::int64_t>::max() / 2;

// A field of decimal digits only, at most `limit`.
bool ParseField(const std::string& text, std::int64_t limit, std::int64_t& value) {
    if (text.empty() || text.size() > 19) {
        return false;
    }
    std::int64_t result = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        const int digit = c - '0';
        if (result > limit / 10 || (result == limit / 10 && digit > limit % 10)) return false;
        result = result * 10 + digit;
    }
    value = result;
    return true;
}

std::string LineOf(const RatingOutbox::Entry& entry) {
    return std::to_string(entry.itemId) + " " + std::to_string(entry.stars) + " " + std::to_string(entry.sequence) +
           "\n";
}

}  // namespace

bool RatingOutbox::ParseLine(const std::string& line, Entry& entry) {
    const std::size_t first = line.find(' ');
    const std::size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
    if (second == std::string::npos || line.find(' ', second + 1) != std::string::npos) {
        return false;
    }
    std::int64_t itemId = 0, stars = 0, sequence = 0;
    if (!ParseField(line.substr(0, first), std::numeric_limits<std::int32_t>::max(), itemId) ||
        !ParseField(line.substr(first + 1, second - first - 1), 5, stars) ||
        !ParseField(line.substr(second + 1), std::numeric_limits<std::int64_t>::max(), sequence) || stars < 1 ||
        sequence < 1) {
        return false;
    }
    entry = {static_cast<std::int32_t>(itemId), static_cast<std::int32_t>(stars), sequence};
    return true;
}

RatingOutbox::RatingOutbox(std::string path, std::string damagedPath)
    : path_(std::move(path)), damagedPath_(std::move(damagedPath)) {
    std::lock_guard lock(mutex_);
    Load();
}

void RatingOutbox::Load() {
    std::error_code error;
    // Temporary files of rewrites a crash interrupted.
    const fs::path outbox(path_);
    const std::string prefix = outbox.filename().string() + ".";
    const fs::path folder = outbox.has_parent_path() ? outbox.parent_path() : fs::path(".");
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0) {
            fs::remove(it->path(), error);
            error.clear();
        }
    }

    std::ifstream in(path_, std::ios::binary);
    if (!in.is_open()) {
        return;  // nothing waiting
    }
    std::stringstream content;
    content << in.rdbuf();
    const std::string text = content.str();
    std::string damaged;
    std::size_t start = 0;
    int lineNumber = 0;
    while (start < text.size()) {
        ++lineNumber;
        const std::size_t newline = text.find('\n', start);
        // A last line without its line break was cut off while it was written.
        const std::string line = text.substr(start, newline == std::string::npos ? std::string::npos : newline - start);
        start = newline == std::string::npos ? text.size() : newline + 1;
        Entry entry;
        if (newline == std::string::npos || !ParseLine(line, entry)) {
            VORN_LOG(LogLevel::Warning) << "RatingOutbox : Damaged line " << lineNumber << " of " << path_
                                        << " kept in " << damagedPath_ << " : " << line.substr(0, 80);
            damaged += line + "\n";
            continue;
        }
        auto same = std::find_if(entries_.begin(), entries_.end(),
                                 [&](const Entry& e) { return e.itemId == entry.itemId; });
        if (same != entries_.end()) {
            if (same->sequence > entry.sequence) continue;  // the later rating of the item counts
            entries_.erase(same);
        }
        entries_.push_back(entry);
    }
    std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) { return a.sequence < b.sequence; });
    // Counting on from a number this high (a hand-edited file) would overflow:
    // the ratings are numbered afresh in their order. Nothing is in flight yet.
    const bool renumbered = !entries_.empty() && entries_.back().sequence > kHighestSequence;
    if (renumbered) {
        VORN_LOG(LogLevel::Warning) << "RatingOutbox : Sequence numbers of " << path_ << " renumbered from 1";
        std::int64_t sequence = 0;
        for (Entry& entry : entries_) {
            entry.sequence = ++sequence;
        }
    }
    nextSequence_ = entries_.empty() ? 1 : entries_.back().sequence + 1;
    if (!damaged.empty()) {
        // The outbox is cleaned only once the damaged lines are safe elsewhere.
        if (AppendDurably(damagedPath_, damaged)) {
            Rewrite();
        } else {
            VORN_LOG(LogLevel::Warning) << "RatingOutbox : Could not write " << damagedPath_;
        }
    } else if (renumbered) {
        Rewrite();
    }
    if (!entries_.empty()) {
        VORN_LOG(LogLevel::Info) << "RatingOutbox : " << entries_.size() << " ratings waiting to be sent";
    }
}

bool RatingOutbox::Rewrite() {
    std::string content;
    for (const Entry& entry : entries_) {
        content += LineOf(entry);
    }
    if (!ReplaceFileDurably(path_, content)) {
        VORN_LOG(LogLevel::Warning) << "RatingOutbox : Could not write " << path_;
        return false;
    }
    return true;
}

bool RatingOutbox::Append(const Entry& entry) {
    if (AppendDurably(path_, LineOf(entry))) {
        return true;
    }
    // A part of the line may be on disk now: rewrite the whole file instead.
    return Rewrite();
}

bool RatingOutbox::Add(std::int32_t itemId, std::int32_t stars) {
    std::lock_guard lock(mutex_);
    const Entry entry{itemId, stars, nextSequence_++};
    auto same = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.itemId == itemId; });
    const bool replacing = same != entries_.end();
    if (replacing) {
        entries_.erase(same);
    }
    entries_.push_back(entry);
    return replacing ? Rewrite() : Append(entry);
}

std::vector<RatingOutbox::Entry> RatingOutbox::Oldest(std::size_t count) const {
    std::lock_guard lock(mutex_);
    return {entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(std::min(count, entries_.size()))};
}

void RatingOutbox::Acknowledge(const std::vector<Entry>& sent) {
    std::lock_guard lock(mutex_);
    const std::size_t before = entries_.size();
    std::erase_if(entries_, [&](const Entry& e) {
        return std::any_of(sent.begin(), sent.end(),
                           [&](const Entry& s) { return s.itemId == e.itemId && s.sequence == e.sequence; });
    });
    if (entries_.size() != before) {
        Rewrite();
    }
}

std::size_t RatingOutbox::Size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

}  // namespace vorn
