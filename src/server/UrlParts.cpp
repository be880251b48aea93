#include "server/UrlParts.h"

#include <algorithm>

namespace vorn {

std::optional<std::int32_t> UrlParts::ParsePort(std::string_view text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    text.remove_prefix(std::min(text.find_first_not_of('0'), text.size()));
    if (text.size() > 5) {
        return std::nullopt;
    }
    std::int32_t value = 0;
    for (char c : text) {
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) {
        return std::nullopt;
    }
    return value;
}

void UrlParts::ParseUrl(const std::string& text) {
    url_ = text;
    port_ = kDefaultPort;
    portValid_ = true;
    path_.clear();
    file_.clear();

    std::size_t hostStart = 0;
    if (const std::size_t c = text.find("://"); c == std::string::npos) {
        scheme_ = "http";
    } else {
        scheme_ = text.substr(0, c);
        hostStart = c + 3;
    }

    std::string hostPart;
    if (const std::size_t s = text.find('/', hostStart); s == std::string::npos) {
        hostPart = text.substr(hostStart);
    } else {
        hostPart = text.substr(hostStart, s - hostStart);
        path_ = text.substr(s);
        file_ = text.substr(text.rfind('/') + 1);
    }

    if (const std::size_t colon = hostPart.find(':'); colon == std::string::npos) {
        host_ = hostPart;
    } else {
        host_ = hostPart.substr(0, colon);
        if (colon + 1 < hostPart.size()) {
            const std::optional<std::int32_t> port = ParsePort(std::string_view(hostPart).substr(colon + 1));
            portValid_ = port.has_value();
            port_ = port.value_or(0);
        }
    }
}

}  // namespace vorn
