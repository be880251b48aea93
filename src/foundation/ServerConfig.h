#pragma once

#include <cstdint>
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
    // Stores "ServerHost" (REG_SZ). Callers check the name with IsValidHost first.
    static void SetHost(const std::string& host);

    // A host name (letters, digits, '-' and '.'; labels of 1 to 63 characters
    // that neither start nor end with '-'; at most 253 characters) or a dotted
    // IPv4 address. A name whose last label is all digits counts as an address
    // and must then be four decimal parts 0..255 without leading zeros.
    static bool IsValidHost(const std::string& host);
    // A TCP port: decimal digits only, 1..65535. Sets port only when valid.
    static bool ParsePort(const std::string& text, std::int32_t& port);
    // The station's help page and product page.
    static std::string HelpPageUrl();
    static std::string ProductPageUrl();
    // Where listeners send their feedback.
    static constexpr const char* kFeedbackMailto = "mailto:feedback@vorn-radio.example";
};

}  // namespace vorn
