#pragma once

#include <cstdint>
#include <string>

namespace vorn {

// A URL split once when it is stored: scheme, host, port, path and file name.
// No validation and no decoding: the parts are plain substrings, so whatever a
// server sends is kept as it came.
class UrlParts {
public:
    static constexpr std::int32_t kDefaultPort = 80;

    UrlParts() = default;
    explicit UrlParts(const std::string& text) { ParseUrl(text); }

    // Replaces every part from the text:
    // - scheme: text before "://", else "http";
    // - host and port: up to the first "/" after the scheme; a ":" splits off the
    //   port (decimal prefix conversion; an empty port text keeps 80);
    // - path: from that "/" to the end, query included; empty without one;
    // - file: after the last "/" of the whole text; empty when the text ends with
    //   "/" or has no path.
    void ParseUrl(const std::string& text);

    const std::string& Url() const { return url_; }
    const std::string& Scheme() const { return scheme_; }
    const std::string& Host() const { return host_; }
    std::int32_t Port() const { return port_; }
    const std::string& Path() const { return path_; }
    const std::string& File() const { return file_; }
    bool IsEmpty() const { return url_.empty(); }

    friend bool operator==(const UrlParts&, const UrlParts&) = default;

private:
    std::string url_;
    std::string scheme_;
    std::string host_;
    std::int32_t port_ = kDefaultPort;
    std::string path_;
    std::string file_;
};

}  // namespace vorn
