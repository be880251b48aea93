#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vorn {

// A URL split once when it is stored: scheme, host, port, path and file name.
// No decoding: the parts are plain substrings, so whatever a server sends is kept
// as it came. The port alone is checked, since a number that is no TCP port must
// never be cut down to one: HasValidPort tells whether the URL can be fetched.
class UrlParts {
public:
    static constexpr std::int32_t kDefaultPort = 80;

    UrlParts() = default;
    explicit UrlParts(const std::string& text) { ParseUrl(text); }

    // Replaces every part from the text:
    // - scheme: text before "://", else "http";
    // - host and port: up to the first "/" after the scheme; a ":" splits off the
    //   port, which must be decimal digits naming 1..65535 (an empty port text
    //   keeps 80); any other port text makes Port() 0 and HasValidPort() false;
    // - path: from that "/" to the end, query included; empty without one;
    // - file: after the last "/" of the whole text; empty when the text ends with
    //   "/" or has no path.
    void ParseUrl(const std::string& text);

    const std::string& Url() const { return url_; }
    const std::string& Scheme() const { return scheme_; }
    const std::string& Host() const { return host_; }
    std::int32_t Port() const { return port_; }
    bool HasValidPort() const { return portValid_; }
    const std::string& Path() const { return path_; }
    const std::string& File() const { return file_; }
    bool IsEmpty() const { return url_.empty(); }

    // The port a text names: decimal digits only, 1..65535; nothing otherwise.
    static std::optional<std::int32_t> ParsePort(std::string_view text);

    friend bool operator==(const UrlParts&, const UrlParts&) = default;

private:
    std::string url_;
    std::string scheme_;
    std::string host_;
    std::int32_t port_ = kDefaultPort;
    bool portValid_ = true;
    std::string path_;
    std::string file_;
};

}  // namespace vorn
