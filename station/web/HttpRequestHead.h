#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorn::station {

// A parsed request head. The request target may hold CR LF pairs (a request
// token carries them), so the request line ends at the first " HTTP/1.x", not
// at the first line break. The absolute form a proxied client sends
// ("GET http://host:port/path HTTP/1.0") is split into the URL's host, port
// and path.
struct HttpRequestHead {
    std::string method;
    std::string target;   // exactly as received
    std::string version;  // "HTTP/1.0" or "HTTP/1.1"
    std::string path;     // the target, or the path part of an absolute target
    bool absolute = false;
    std::string urlHost;  // absolute form only
    int urlPort = 80;     // absolute form only
    std::vector<std::pair<std::string, std::string>> headers;

    // The value of the first header of that name (any case), or empty.
    std::string Header(std::string_view name) const;
};

// The length of the head including its empty line ("\r\n\r\n", or "\n\n" from
// clients that end lines with LF alone), or npos while it is incomplete.
std::size_t FindHeadEnd(std::string_view data);

// False with `error` set when the text is not a request head this station reads.
bool ParseRequestHead(std::string_view head, HttpRequestHead& out, std::string& error);

// Splits "name:port" at its last colon when only digits follow; otherwise the
// whole text is the name and the port is `defaultPort`.
void SplitHostPort(std::string_view authority, std::string& host, int& port, int defaultPort);

}  // namespace vorn::station
