#include "server/UrlParts.h"

#include "platform/Decimal.h"

namespace vorn {

void UrlParts::ParseUrl(const std::string& text) {
    url_ = text;
    port_ = kDefaultPort;
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
            port_ = ParseDecimalPrefix(std::string_view(hostPart).substr(colon + 1));
        }
    }
}

}  // namespace vorn
