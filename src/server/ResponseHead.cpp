#include "server/ResponseHead.h"

namespace vorn {

ResponseHead::Progress ResponseHead::Take(std::string& head, std::size_t headStart, std::string_view bytes,
                                          std::size_t maxBytes, std::size_t& taken) {
    static constexpr std::string_view kBlankLine = "\r\n\r\n";
    taken = 0;
    while (taken < bytes.size()) {
        head.push_back(bytes[taken++]);
        if (head.size() >= 4 && std::string_view(head).substr(head.size() - 4) == kBlankLine) {
            head.resize(head.size() - 2);
            return Progress::Complete;
        }
        if (head.size() - headStart > maxBytes) {
            return Progress::TooLong;
        }
    }
    return Progress::NeedMore;
}

}  // namespace vorn
