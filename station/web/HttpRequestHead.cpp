#include "station/web/HttpRequestHead.h"

#include "platform/AsciiCase.h"

namespace vorn::station {
namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace

std::string HttpRequestHead::Header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (EqualsIgnoringCase(key, name)) {
            return value;
        }
    }
    return {};
}

std::size_t FindHeadEnd(std::string_view data) {
    const std::size_t crlf = data.find("\r\n\r\n");
    const std::size_t lf = data.find("\n\n");
    if (crlf == std::string_view::npos && lf == std::string_view::npos) {
        return std::string_view::npos;
    }
    if (lf == std::string_view::npos || (crlf != std::string_view::npos && crlf < lf)) {
        return crlf + 4;
    }
    return lf + 2;
}

void SplitHostPort(std::string_view authority, std::string& host, int& port, int defaultPort) {
    const std::size_t colon = authority.rfind(':');
    if (colon != std::string_view::npos && colon + 1 < authority.size() && authority.size() - colon <= 6 &&
        authority.find_first_not_of("0123456789", colon + 1) == std::string_view::npos) {
        host = std::string(authority.substr(0, colon));
        port = std::stoi(std::string(authority.substr(colon + 1)));
        return;
    }
    host = std::string(authority);
    port = defaultPort;
}

bool ParseRequestHead(std::string_view head, HttpRequestHead& out, std::string& error) {
    out = HttpRequestHead();
    const std::size_t space = head.find(' ');
    if (space == std::string_view::npos || space == 0 || space > 16) {
        error = "no request method";
        return false;
    }
    out.method = std::string(head.substr(0, space));
    for (char c : out.method) {
        if (c < 'A' || c > 'Z') {
            error = "no request method";
            return false;
        }
    }
    const std::size_t versionAt = head.find(" HTTP/1.", space);
    if (versionAt == std::string_view::npos || versionAt + 9 > head.size() ||
        (head[versionAt + 8] != '0' && head[versionAt + 8] != '1')) {
        error = "no HTTP/1.0 or HTTP/1.1 request line";
        return false;
    }
    out.target = std::string(head.substr(space + 1, versionAt - space - 1));
    out.version = std::string(head.substr(versionAt + 1, 8));
    std::size_t at = versionAt + 9;
    if (at < head.size() && head[at] == '\r') {
        ++at;
    }
    if (at < head.size() && head[at] != '\n') {
        error = "junk after the HTTP version";
        return false;
    }
    if (out.target.empty()) {
        error = "empty request target";
        return false;
    }

    // Header lines, each ended by LF or CR LF, up to the empty line.
    while (at < head.size()) {
        ++at;  // the LF that ended the previous line
        const std::size_t end = head.find('\n', at);
        const std::string_view line = Trim(head.substr(at, end == std::string_view::npos ? head.npos : end - at));
        if (line.empty()) {
            break;
        }
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && colon > 0) {
            out.headers.emplace_back(std::string(Trim(line.substr(0, colon))),
                                     std::string(Trim(line.substr(colon + 1))));
        }
        if (end == std::string_view::npos) {
            break;
        }
        at = end;
    }

    out.path = out.target;
    static constexpr std::string_view kScheme = "http://";
    if (out.target.size() >= kScheme.size() && EqualsIgnoringCase(out.target.substr(0, kScheme.size()), kScheme)) {
        const std::size_t slash = out.target.find('/', kScheme.size());
        const std::string_view authority =
            std::string_view(out.target).substr(kScheme.size(), slash == std::string::npos ? std::string::npos
                                                                                            : slash - kScheme.size());
        SplitHostPort(authority, out.urlHost, out.urlPort, 80);
        out.path = slash == std::string::npos ? "/" : out.target.substr(slash);
        out.absolute = true;
        if (out.urlHost.empty()) {
            error = "absolute request target without a host";
            return false;
        }
    }
    return true;
}

}  // namespace vorn::station
