#include "foundation/ServerConfig.h"

#include <vector>

#include "foundation/RegistryKey.h"

namespace vorn {
namespace {

constexpr std::size_t kMaxHostLength = 253;
constexpr std::size_t kMaxLabelLength = 63;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool AllDigits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (!IsDigit(c)) return false;
    }
    return true;
}

bool IsLabel(const std::string& label) {
    if (label.empty() || label.size() > kMaxLabelLength) return false;
    if (label.front() == '-' || label.back() == '-') return false;
    for (char c : label) {
        if (!IsLetter(c) && !IsDigit(c) && c != '-') return false;
    }
    return true;
}

bool IsIpv4Part(const std::string& part) {
    // A leading zero would be read as octal by some resolvers: refused.
    if (!AllDigits(part) || part.size() > 3 || (part.size() > 1 && part.front() == '0')) return false;
    return std::stoi(part) <= 255;
}

std::vector<std::string> Labels(const std::string& host) {
    std::vector<std::string> labels(1);
    for (char c : host) {
        if (c == '.') {
            labels.emplace_back();
        } else {
            labels.back() += c;
        }
    }
    return labels;
}

}  // namespace

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

void ServerConfig::SetHost(const std::string& host) {
    RegistryKey key;
    key.Open(kVornKeyPath);
    key.Value("ServerHost").SetText(host);
    key.Close();
}

bool ServerConfig::IsValidHost(const std::string& host) {
    if (host.empty() || host.size() > kMaxHostLength) return false;
    const std::vector<std::string> labels = Labels(host);
    for (const std::string& label : labels) {
        if (!IsLabel(label)) return false;
    }
    if (!AllDigits(labels.back())) return true;
    if (labels.size() != 4) return false;
    for (const std::string& part : labels) {
        if (!IsIpv4Part(part)) return false;
    }
    return true;
}

bool ServerConfig::ParsePort(const std::string& text, std::int32_t& port) {
    if (!AllDigits(text) || text.size() > 5) return false;
    const int value = std::stoi(text);
    if (value < 1 || value > 65535) return false;
    port = value;
    return true;
}

std::string ServerConfig::HelpPageUrl() {
    return "http://" + Host() + ":" + std::to_string(kMediaPort) + "/help.html";
}

std::string ServerConfig::ProductPageUrl() {
    return "http://" + Host() + ":" + std::to_string(kMediaPort) + "/";
}

}  // namespace vorn
