#include "download/MediaResponse.h"

#include <limits>

namespace vorn {
namespace {

// Position of a header name in the head, whatever its letter case.
std::size_t FindHeader(const std::string& head, const std::string& name) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    for (std::size_t at = 0; at + name.size() <= head.size(); ++at) {
        std::size_t i = 0;
        while (i < name.size() && lower(head[at + i]) == lower(name[i])) ++i;
        if (i == name.size()) return at;
    }
    return std::string::npos;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Decimal digits with blanks around them, below 2^63; -1 for anything else.
std::int64_t ParseLength(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    const std::size_t digitsStart = i;
    std::int64_t value = 0;
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const int digit = text[i] - '0';
        if (value > (kMax - digit) / 10) {
            return -1;
        }
        value = value * 10 + digit;
    }
    if (i == digitsStart) {
        return -1;
    }
    while (i < text.size() && IsBlank(text[i])) ++i;
    return i == text.size() ? value : -1;
}

MediaResponse Unusable(std::string problem) {
    MediaResponse response;
    response.problem = std::move(problem);
    return response;
}

}  // namespace

MediaResponse MediaResponse::Check(const std::string& head, bool redirectAllowed, const std::string& urlText) {
    if (redirectAllowed && head.find("302 Found") != std::string::npos) {
        const std::size_t a = FindHeader(head, "Location:");
        if (a == std::string::npos) {
            return Unusable("HTTPFileRetriever : No location in redirect header : file=" + urlText);
        }
        const std::size_t e = head.find('\n', a);
        if (e == std::string::npos) {
            return Unusable("HTTPFileRetriever : Error in location in redirect header : file=" + urlText);
        }
        std::string location = head.substr(a + 9, e - (a + 9));
        location.erase(0, location.find_first_not_of(" \t"));
        while (!location.empty() && (location.back() == '\r' || location.back() == ' ')) location.pop_back();
        if (location.empty()) {
            return Unusable("HTTPFileRetriever : Error getting new location in redirect header : file=" + urlText);
        }
        // The location becomes the next request's line: a control character in it
        // (a bare CR, say) would let the host write headers into that request.
        for (const char c : location) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                return Unusable("HTTPFileRetriever : Control character in redirect location : file=" + urlText);
            }
        }
        MediaResponse response;
        response.kind = Kind::Redirect;
        response.location = std::move(location);
        return response;
    }
    if (head.find("200 OK") == std::string::npos) {
        return Unusable("HTTPFileRetriever : Error invalid http response : header=\n" + head);
    }
    const std::size_t c = FindHeader(head, "Content-Length:");
    if (c == std::string::npos) {
        return Unusable("HTTPFileRetriever : Error no Content-Length header : header=\n" + head);
    }
    const std::size_t e = head.find('\n', c);
    const std::int64_t length = e == std::string::npos ? -1 : ParseLength(head.substr(c + 15, e - (c + 15)));
    if (length < 0) {
        return Unusable("HTTPFileRetriever : Error in Content-Length header : header=\n" + head);
    }
    MediaResponse response;
    response.kind = Kind::Body;
    response.contentLength = length;
    return response;
}

}  // namespace vorn
