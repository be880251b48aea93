#include "foundation/ServerConfig.h"

#include "foundation/RegistryKey.h"

namespace vorn {

std::string ServerConfig::Host() {
    RegistryKey key;
    key.Open(kVornKeyPath);
    const RegistryValue& value = key.Value("ServerHost");
    const std::string host = value.Exists() ? value.AsText() : std::string();
    // A host name has no blanks or slashes; anything else falls back to the default.
    if (host.empty() || host.find_first_of(" \t\r\n/\\") != std::string::npos) {
        return kDefaultHost;
    }
    return host;
}

std::string ServerConfig::HelpPageUrl() {
    return "http://" + Host() + ":" + std::to_string(kMediaPort) + "/help.html";
}

std::string ServerConfig::ProductPageUrl() {
    return "http://" + Host() + ":" + std::to_string(kMediaPort) + "/";
}

}  // namespace vorn
