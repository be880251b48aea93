// A stored set of recent recommendations as the station's SQLite store reads
// it back: the row's count, items and whys columns, from a file that may have
// been damaged. The input is "<count>\n<items>\n<whys>": the count as decimal
// text, the items up to the second line break, the whys the rest (a reason may
// hold line breaks). Then
// - RecentSet::Decode either yields exactly `count` entries or nothing;
// - a row it reads stops reading with one byte more at the end of either
//   text, or a count one more or one less;
// - what it yields, written again by RecentSet::Add, reads back the same;
// - entries taken from the input (the ids and the whys split at the line
//   breaks) written by Add always read back the same.

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "station/store/RecentSet.h"

namespace {

using namespace vorn;
using vorn::station::RecentSet;

bool Same(const std::vector<RecentSet::Entry>& a, const std::vector<RecentSet::Entry>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].item != b[i].item || a[i].why != b[i].why) return false;
    }
    return true;
}

// Written by Add and decoded again.
bool RoundTrips(const std::vector<RecentSet::Entry>& entries) {
    RecentSet set;
    for (const RecentSet::Entry& entry : entries) {
        set.Add(entry.item, entry.why);
    }
    std::vector<RecentSet::Entry> back;
    const bool decoded = RecentSet::Decode(static_cast<std::int64_t>(set.Count()), set.Items(), set.Whys(), back);
    return entries.empty() ? !decoded && back.empty() : decoded && Same(back, entries);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t first = input.find('\n');
    const std::size_t second = first == std::string_view::npos ? first : input.find('\n', first + 1);
    if (second == std::string_view::npos) {
        return 0;
    }
    std::int64_t count = 0;
    std::from_chars(input.data(), input.data() + first, count);  // a count that is no number stays 0
    const std::string items(input.substr(first + 1, second - first - 1));
    const std::string whys(input.substr(second + 1));

    std::vector<RecentSet::Entry> entries;
    if (RecentSet::Decode(count, items, whys, entries)) {
        fuzz::Check(count >= 1 && entries.size() == static_cast<std::uint64_t>(count), "a set holds its count");
        std::vector<RecentSet::Entry> other;
        fuzz::Check(!RecentSet::Decode(count, items + " ", whys, other) &&
                        !RecentSet::Decode(count, items, whys + "x", other) &&
                        !RecentSet::Decode(count + 1, items, whys, other) &&
                        !RecentSet::Decode(count - 1, items, whys, other),
                    "a set is read only when all of it agrees");
        fuzz::Check(RoundTrips(entries), "a decoded set reads back the same once written again");
    } else {
        fuzz::Check(entries.empty(), "a damaged set yields nothing");
    }

    // The writer's side: ids and reasons taken from the input.
    std::vector<RecentSet::Entry> written;
    std::size_t whyAt = 0;
    for (std::size_t at = 0; at < items.size();) {
        RecentSet::Entry entry;
        const auto [end, error] = std::from_chars(items.data() + at, items.data() + items.size(), entry.item);
        at = error == std::errc() ? static_cast<std::size_t>(end - items.data()) + 1 : at + 1;
        const std::size_t newline = std::min(whys.find('\n', whyAt), whys.size());
        entry.why = whys.substr(std::min(whyAt, whys.size()), newline - std::min(whyAt, whys.size()));
        whyAt = newline + 1;
        written.push_back(std::move(entry));
    }
    fuzz::Check(RoundTrips(written), "a written set reads back the same");
    return 0;
}
