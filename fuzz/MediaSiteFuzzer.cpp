// The media host's router as StationServer uses it: a request head read with
// FindHeadEnd and ParseRequestHead, then MediaSite::Respond, against a station
// of four demo items (files of their own) and one listener who rated two and
// was recommended others. The first byte picks the host: bit 0 the mirror,
// bit 1 the redirecting media host; the rest is what the client sent, with
// every "{token}" standing for the listener's page token (the fuzzer cannot
// guess a fresh 128-bit token). Every answer
// - has a status of the router's, in the request's version, and a head of
//   clean CR LF lines ending in one empty line;
// - has a Content-Length equal to what follows it (the body, or the file);
// - is the same asked twice, and to HEAD what it is to GET, without the body;
// - shows the listener's token only on a page not kept by caches.

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "fuzz/StationFixture.h"
#include "station/web/HttpRequestHead.h"
#include "station/web/MediaSite.h"
#include "station/base/StationLog.h"

namespace {

using namespace vorn;
using namespace vorn::station;

constexpr std::string_view kTokenMark = "{token}";

struct Site {
    std::unique_ptr<fuzz::StationFixture> station;
    std::string token;
    std::unique_ptr<MediaSite> direct;
    std::unique_ptr<MediaSite> redirecting;
};

Site& TheSite() {
    static Site site = [] {
        Site made;
        made.station = std::make_unique<fuzz::StationFixture>(fuzz::Scratch::Get() / "station");
        made.token = made.station->AddListener();
        const MediaLinks links = fuzz::StationFixture::Links();
        made.direct = std::make_unique<MediaSite>(made.station->Store(), made.station->Catalogue(), links, false);
        made.redirecting = std::make_unique<MediaSite>(made.station->Store(), made.station->Catalogue(), links, true);
        return made;
    }();
    return site;
}

std::string WithToken(std::string_view input, const std::string& token) {
    std::string text;
    for (std::size_t at = 0;;) {
        const std::size_t mark = input.find(kTokenMark, at);
        text.append(input.substr(at, mark - at));
        if (mark == std::string_view::npos) return text;
        text += token;
        at = mark + kTokenMark.size();
    }
}

// The value of the head's Content-Length line, or -1.
long long ContentLength(const std::string& head) {
    const std::string name = "\r\nContent-Length: ";
    const std::size_t at = head.find(name);
    if (at == std::string::npos) return -1;
    const std::size_t end = head.find("\r\n", at + name.size());
    const std::string digits = head.substr(at + name.size(), end - at - name.size());
    if (digits.empty() || digits.size() > 18 || digits.find_first_not_of("0123456789") != std::string::npos) {
        return -1;
    }
    return std::stoll(digits);
}

// Every CR is followed by LF and every LF preceded by CR; the only empty line ends the head.
bool CleanLines(const std::string& head) {
    for (std::size_t i = 0; i < head.size(); ++i) {
        if (head[i] == '\r' && (i + 1 == head.size() || head[i + 1] != '\n')) return false;
        if (head[i] == '\n' && (i == 0 || head[i - 1] != '\r')) return false;
    }
    return head.size() >= 4 && head.find("\r\n\r\n") == head.size() - 4;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    station::StationLog::SetSink([](LogLevel, const std::string&) {});
    fuzz::Check(!TheSite().token.empty(), "the listener has a page token");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    Site& site = TheSite();
    const bool mirror = (data[0] & 1) != 0;
    MediaSite& host = (data[0] & 2) != 0 ? *site.redirecting : *site.direct;
    const std::string bytes =
        WithToken(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1), site.token);
    const std::size_t end = FindHeadEnd(bytes);
    HttpRequestHead request;
    std::string error;
    if (end == std::string::npos || !ParseRequestHead(std::string_view(bytes).substr(0, end), request, error)) {
        return 0;  // the server answers 400 itself
    }

    const MediaResponse response = host.Respond(request, mirror);
    const int status = response.status;
    fuzz::Check(status == 200 || status == 302 || status == 404 || status == 405 || status == 503,
                "a status of the router's");
    const std::string version = request.version == "HTTP/1.1" ? "HTTP/1.1" : "HTTP/1.0";
    fuzz::Check(response.head.starts_with(version + " " + std::to_string(status) + " "),
                "the status line in the request's version");
    fuzz::Check(CleanLines(response.head), "a head of clean lines");

    if (request.method != "GET" && request.method != "HEAD") {
        fuzz::Check(status == 405 && response.head.find("\r\nAllow: GET, HEAD\r\n") != std::string::npos &&
                        ContentLength(response.head) == static_cast<long long>(response.body.size()),
                    "GET and HEAD only");
        return 0;
    }
    HttpRequestHead asGet = request;
    asGet.method = "GET";
    const MediaResponse again = host.Respond(asGet, mirror);
    fuzz::Check(again.head == response.head, "the same head asked again, and to HEAD as to GET");
    if (request.method == "HEAD") {
        fuzz::Check(response.body.empty() && !response.file.Valid(), "no body to HEAD");
    } else {
        fuzz::Check(again.body == response.body && again.file.Valid() == response.file.Valid(),
                    "the same body asked again");
    }
    const long long length = ContentLength(again.head);
    if (again.file.Valid()) {
        struct stat facts {};
        fuzz::Check(status == 200 && ::fstat(again.file.Get(), &facts) == 0 && S_ISREG(facts.st_mode) &&
                        static_cast<std::uint64_t>(facts.st_size) == again.fileLength &&
                        length == static_cast<long long>(again.fileLength) && again.body.empty(),
                    "a file answer's length is the file's");
    } else {
        fuzz::Check(length == static_cast<long long>(again.body.size()), "the Content-Length is the body's");
    }
    if (again.body.find(site.token) != std::string::npos) {
        fuzz::Check(status == 200 && again.head.find("\r\nCache-Control: private, no-store\r\n") != std::string::npos,
                    "a page showing the token is private");
    }
    return 0;
}
