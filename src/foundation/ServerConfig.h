#pragma once

#include <string>

namespace vorn {

// Where the station lives. The host is "localhost" unless the per-user store
// holds "ServerHost" (a listener using a station on another machine sets it);
// the protocol port is fixed (8080) and the station's web pages are on its
// media port.
class ServerConfig {
public:
    static constexpr const char* kDefaultHost = "localhost";
    static constexpr int kMediaPort = 8000;

    static std::string Host();
    // The station's help page and product page.
    static std::string HelpPageUrl();
    static std::string ProductPageUrl();
    // Where listeners send their feedback.
    static constexpr const char* kFeedbackMailto = "mailto:feedback@vorn-radio.example";
};

}  // namespace vorn
