#include "station/store/RecentSet.h"

#include <charconv>

namespace vorn::station {

void RecentSet::Add(std::int32_t item, const std::string& why) {
    if (count_ != 0) items_ += ' ';
    items_ += std::to_string(item);
    whys_ += std::to_string(why.size());
    whys_ += ':';
    whys_ += why;
    ++count_;
}

bool RecentSet::Decode(std::int64_t count, const std::string& items, const std::string& whys,
                       std::vector<Entry>& out) {
    out.clear();
    if (count < 1 || static_cast<std::uint64_t>(count) > items.size()) {
        return false;
    }
    out.resize(static_cast<std::size_t>(count));
    const char* at = items.data();
    const char* const itemsEnd = items.data() + items.size();
    std::size_t whyAt = 0;
    for (std::size_t index = 0; index < out.size(); ++index) {
        if (index != 0 && (at == itemsEnd || *at++ != ' ')) {
            break;
        }
        const auto [itemEnd, itemError] = std::from_chars(at, itemsEnd, out[index].item);
        std::size_t length = 0;
        const char* const lengthStart = whys.data() + whyAt;
        const auto [lengthEnd, lengthError] = std::from_chars(lengthStart, whys.data() + whys.size(), length);
        if (itemError != std::errc() || itemEnd == at || lengthError != std::errc() || lengthEnd == lengthStart ||
            lengthEnd == whys.data() + whys.size() || *lengthEnd != ':') {
            break;
        }
        at = itemEnd;
        whyAt = static_cast<std::size_t>(lengthEnd - whys.data()) + 1;
        if (length > whys.size() - whyAt) {
            break;
        }
        out[index].why.assign(whys, whyAt, length);
        whyAt += length;
        if (index + 1 == out.size() && at == itemsEnd && whyAt == whys.size()) {
            return true;
        }
    }
    out.clear();
    return false;
}

}  // namespace vorn::station
