#include "station/web/MediaSite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/AsciiCase.h"
#include "station/web/SitePages.h"
#include "station/base/StationConstants.h"
#include "station/base/StationLog.h"

namespace vorn::station {
namespace {

constexpr const char* kHtml = "text/html; charset=utf-8";
constexpr const char* kListenerPrefix = "/listener/";
constexpr const char* kArtPrefix = "/art/";
// A picture's key names its content: it never changes.
constexpr const char* kForever = "Cache-Control: public, max-age=31536000, immutable\r\n";
// A page showing a listener's token: not kept by caches, and its links do not
// hand the address on.
constexpr const char* kPrivate = "Cache-Control: private, no-store\r\nReferrer-Policy: no-referrer\r\n";

// The id of "<prefix><digits><suffix>", or 0.
std::int32_t IdIn(const std::string& path, const std::string& prefix, const std::string& suffix) {
    if (path.size() <= prefix.size() + suffix.size() || path.compare(0, prefix.size(), prefix) != 0 ||
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return 0;
    }
    const std::string digits = path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
    if (digits.empty() || digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos) {
        return 0;
    }
    const long long id = std::stoll(digits);
    return id > 0 && id <= INT32_MAX ? static_cast<std::int32_t>(id) : 0;
}

// The value of `name` in the query of a request target, "" when absent.
std::string QueryValue(const std::string& target, const std::string& name) {
    const std::size_t question = target.find('?');
    if (question == std::string::npos) {
        return {};
    }
    std::size_t at = question + 1;
    while (at <= target.size()) {
        const std::size_t end = std::min(target.find('&', at), target.size());
        const std::string_view pair = std::string_view(target).substr(at, end - at);
        if (pair.size() > name.size() && pair.compare(0, name.size(), name) == 0 && pair[name.size()] == '=') {
            return std::string(pair.substr(name.size() + 1));
        }
        at = end + 1;
    }
    return {};
}

bool EndsWithIgnoringCase(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           EqualsIgnoringCase(std::string_view(text).substr(text.size() - suffix.size()), suffix);
}

std::string ReasonOf(int status) {
    switch (status) {
        case 200: return "OK";
        case 302: return "Found";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 503: return "Service Unavailable";
        default: return "Error";
    }
}

// The whole of a regular file as a "200 OK" answer; status 0 (errno set)
// when it cannot be opened.
MediaResponse Opened(const std::string& version, const std::string& path, const char* contentType,
                     const char* extraHeaders = "") {
    MediaResponse response;
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat facts {};
    if (!file.Valid() || ::fstat(file.Get(), &facts) != 0) {
        return response;
    }
    if (!S_ISREG(facts.st_mode)) {
        errno = EISDIR;
        return response;
    }
    response.status = 200;
    response.head = (version == "HTTP/1.1" ? "HTTP/1.1 " : "HTTP/1.0 ") + std::string("200 OK\r\n") + extraHeaders +
                    "Content-Type: " + contentType + "\r\nContent-Length: " + std::to_string(facts.st_size) +
                    "\r\nConnection: close\r\n\r\n";
    response.file = std::move(file);
    response.fileLength = static_cast<std::uint64_t>(facts.st_size);
    return response;
}

}  // namespace

UniqueFd::~UniqueFd() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

MediaSite::MediaSite(StationStore& store, Catalogue& catalogue, MediaLinks links, bool redirectMedia,
                     const MediaFacts* facts)
    : store_(store), catalogue_(catalogue), links_(std::move(links)), redirectMedia_(redirectMedia), facts_(facts) {}

MediaResponse MediaSite::Simple(const std::string& version, int status, const std::string& reason,
                                const std::string& contentType, const std::string& body,
                                const std::string& extraHeaders) {
    MediaResponse response;
    response.status = status;
    response.head = (version == "HTTP/1.1" ? "HTTP/1.1 " : "HTTP/1.0 ") + std::to_string(status) + " " + reason +
                    "\r\n" + extraHeaders + "Content-Type: " + contentType +
                    "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    response.body = body;
    return response;
}

bool MediaSite::IsOurOrigin(const HttpRequestHead& request) const {
    std::string name = request.urlHost;
    if (!request.absolute) {
        int ignoredPort = 0;
        SplitHostPort(request.Header("Host"), name, ignoredPort, 80);
    }
    if (name.empty() || !EndsWithIgnoringCase(name, kCdnHostSuffix)) {
        return true;  // the mirror asked for directly
    }
    std::string host;
    int port = 0;
    SplitHostPort(std::string_view(name).substr(0, name.size() - std::strlen(kCdnHostSuffix)), host, port, 80);
    return EqualsIgnoringCase(host, links_.host) && port == links_.port;
}

MediaResponse MediaSite::Respond(const HttpRequestHead& request, bool mirror) {
    const std::string& version = request.version;
    if (request.method != "GET" && request.method != "HEAD") {
        return Simple(version, 405, ReasonOf(405), kHtml, ErrorPage(405, ReasonOf(405)), "Allow: GET, HEAD\r\n");
    }
    const std::string path = request.path.substr(0, request.path.find('?'));
    MediaResponse response;
    if (mirror && !IsOurOrigin(request)) {
        STATION_LOG(LogLevel::Warning) << "MediaSite : the mirror does not serve the origin of "
                                       << (request.absolute ? request.urlHost : request.Header("Host"));
        response = Simple(version, 404, ReasonOf(404), kHtml, ErrorPage(404, "Unknown origin"));
    } else if (std::int32_t id = IdIn(path, "/media/", ".mp3"); id != 0) {
        ItemRecord item;
        if (redirectMedia_ && catalogue_.FindMedia(id, item)) {
            response = Simple(version, 302, ReasonOf(302), kHtml, "",
                              "Location: " + links_.RedirectedMediaUrl(id) + "\r\n");
        } else {
            response = File(request, id);
        }
    } else if (std::int32_t id = IdIn(path, "/files/", ".mp3"); id != 0) {
        response = File(request, id);
    } else if (std::int32_t id = IdIn(path, "/item/", ".html"); id != 0) {
        response = Item(request, id);
    } else if (path.rfind(kArtPrefix, 0) == 0 && EndsWithIgnoringCase(path, ".jpg")) {
        response = Art(request, path.substr(std::strlen(kArtPrefix), path.size() - std::strlen(kArtPrefix) - 4));
    } else if (path.rfind(kListenerPrefix, 0) == 0) {
        response = Listener(request, path.substr(std::strlen(kListenerPrefix)));
    } else if (path == "/help.html") {
        response = Simple(version, 200, ReasonOf(200), kHtml, HelpPage());
    } else if (path == "/" || path == "/index.html") {
        response = Simple(version, 200, ReasonOf(200), kHtml, ProductPage());
    } else {
        response = Simple(version, 404, ReasonOf(404), kHtml, ErrorPage(404, ReasonOf(404)));
    }
    if (request.method == "HEAD") {
        response.body.clear();
        response.file = UniqueFd();
        response.fileLength = 0;
    }
    return response;
}

MediaResponse MediaSite::File(const HttpRequestHead& request, std::int32_t id) {
    ItemRecord item;
    if (!catalogue_.FindMedia(id, item)) {
        STATION_LOG(LogLevel::Info) << "MediaSite : no media item " << id;
        return Simple(request.version, 404, ReasonOf(404), kHtml, ErrorPage(404, ReasonOf(404)));
    }
    MediaResponse response = Opened(request.version, item.path, "audio/mpeg");
    if (response.status != 200) {
        STATION_LOG(LogLevel::Warning) << "MediaSite : cannot open " << item.path << " : " << std::strerror(errno);
        catalogue_.ReportMissing(id);
        return Simple(request.version, 404, ReasonOf(404), kHtml, ErrorPage(404, ReasonOf(404)));
    }
    return response;
}

MediaResponse MediaSite::Art(const HttpRequestHead& request, const std::string& key) {
    const std::string file = facts_ != nullptr ? facts_->ArtFile(key) : std::string();
    MediaResponse response = file.empty() ? MediaResponse() : Opened(request.version, file, "image/jpeg", kForever);
    if (response.status != 200) {
        if (!file.empty()) {
            STATION_LOG(LogLevel::Warning) << "MediaSite : cannot open " << file << " : " << std::strerror(errno);
        }
        return Simple(request.version, 404, ReasonOf(404), kHtml, ErrorPage(404, ReasonOf(404)));
    }
    return response;
}

MediaResponse MediaSite::Item(const HttpRequestHead& request, std::int32_t id) {
    const std::shared_ptr<const CatalogueSnapshot> snapshot = catalogue_.Current();
    const CatalogueEntry* entry = snapshot->Find(id);
    if (entry == nullptr) {
        return Simple(request.version, 404, ReasonOf(404), kHtml, ErrorPage(404, ReasonOf(404)));
    }
    const std::string art = facts_ != nullptr ? facts_->DetailsOf(entry->record).art : std::string();
    const std::string token = QueryValue(request.path, "l");
    // A token the store does not know gets the plain page: the link is only
    // offered to its owner.
    const std::int32_t listener = token.empty() ? 0 : store_.ListenerOfToken(token);
    if (listener == 0) {
        return Simple(request.version, 200, ReasonOf(200), kHtml, ItemPage(entry->record, links_, "", "", art));
    }
    return Simple(request.version, 200, ReasonOf(200), kHtml,
                  ItemPage(entry->record, links_, store_.WhyRecommended(listener, id), token, art), kPrivate);
}

MediaResponse MediaSite::Listener(const HttpRequestHead& request, const std::string& token) {
    // Every text goes through the same lookup, a malformed one included, and
    // every miss gets the same answer.
    const std::int32_t listener = store_.ListenerOfToken(token);
    if (listener == 0) {
        return Simple(request.version, 404, ReasonOf(404), kHtml, ErrorPage(404, ReasonOf(404)));
    }
    std::vector<RatedItem> history;
    if (!store_.LoadRatingHistory(listener, history)) {
        return Simple(request.version, 503, ReasonOf(503), kHtml, ErrorPage(503, ReasonOf(503)));
    }
    const std::shared_ptr<const CatalogueSnapshot> snapshot = catalogue_.Current();
    ListenerSummary summary = ListenerSummary::Build(history, *snapshot);
    for (ListenerSummary::Rated& rated : summary.lastRated) {
        if (facts_ != nullptr && rated.item.id != 0) {
            rated.art = facts_->DetailsOf(rated.item).art;
        }
    }
    return Simple(request.version, 200, ReasonOf(200), kHtml, ListenerPage(summary), kPrivate);
}

}  // namespace vorn::station
