#include "station/web/MediaSite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/AsciiCase.h"
#include "station/media/TranscodeQueue.h"
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

// A HEAD request's answer: the head alone.
void DropBody(MediaResponse& response) {
    response.body.clear();
    response.file = UniqueFd();
    response.fileLength = 0;
}

MediaResponse FileAnswer(const std::string& version, UniqueFd file, std::uint64_t length) {
    MediaResponse response;
    response.status = 200;
    response.head = (version == "HTTP/1.1" ? "HTTP/1.1 " : "HTTP/1.0 ") + std::string("200 OK\r\n") +
                    "Content-Type: audio/mpeg\r\nContent-Length: " + std::to_string(length) +
                    "\r\nConnection: close\r\n\r\n";
    response.file = std::move(file);
    response.fileLength = length;
    return response;
}

MediaResponse NotFound(const std::string& version) {
    return MediaSite::Simple(version, 404, ReasonOf(404), kHtml, ErrorPage(404, ReasonOf(404)));
}

// The client tries again on its own after a failed attempt; the header is
// for other clients.
MediaResponse NotYet(const std::string& version) {
    return MediaSite::Simple(version, 503, ReasonOf(503), kHtml, ErrorPage(503, "Not ready yet, try again"),
                             "Retry-After: 10\r\n");
}

// A request for an MP3 still to be made.
class PendingMp3 final : public PendingMedia {
public:
    PendingMp3(TranscodeQueue& mp3s, ItemRecord item, std::string version, bool head)
        : mp3s_(mp3s), item_(std::move(item)), version_(std::move(version)), head_(head) {}

    void WhenReady(std::function<void(MediaResponse)> answer) override {
        mp3s_.Fetch(item_, [answer = std::move(answer), version = version_, head = head_](
                               TranscodeQueue::Outcome outcome, UniqueFd file, std::uint64_t length) {
            MediaResponse response;
            switch (outcome) {
                case TranscodeQueue::Outcome::Ready:
                    response = FileAnswer(version, std::move(file), length);
                    break;
                case TranscodeQueue::Outcome::Unplayable:
                    response = NotFound(version);
                    break;
                case TranscodeQueue::Outcome::Unavailable:
                case TranscodeQueue::Outcome::Stopping:
                    response = NotYet(version);
                    break;
            }
            if (head) {
                DropBody(response);
            }
            answer(std::move(response));
        });
    }

    std::chrono::milliseconds Limit() const override { return MediaSite::kMadeWait; }

    MediaResponse GaveUp() const override {
        STATION_LOG(LogLevel::Info) << "MediaSite : the MP3 of item " << item_.id << " is not made after "
                                    << MediaSite::kMadeWait.count() / 1000 << " s; the client is asked to try again";
        MediaResponse response = NotYet(version_);
        if (head_) {
            DropBody(response);
        }
        return response;
    }

private:
    TranscodeQueue& mp3s_;
    const ItemRecord item_;
    const std::string version_;
    const bool head_;
};

}  // namespace

MediaSite::MediaSite(StationStore& store, Catalogue& catalogue, MediaLinks links, bool redirectMedia,
                     const MediaFacts* facts, TranscodeQueue* mp3s)
    : store_(store),
      catalogue_(catalogue),
      links_(std::move(links)),
      redirectMedia_(redirectMedia),
      facts_(facts),
      mp3s_(mp3s) {}

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
        DropBody(response);  // a pending answer drops its own
    }
    return response;
}

MediaResponse MediaSite::File(const HttpRequestHead& request, std::int32_t id) {
    ItemRecord item;
    if (!catalogue_.FindMedia(id, item)) {
        STATION_LOG(LogLevel::Info) << "MediaSite : no media item " << id;
        return NotFound(request.version);
    }
    if (NeedsMp3Made(item)) {
        return MadeFile(request, item);
    }
    MediaResponse response = Opened(request.version, item.path, "audio/mpeg");
    if (response.status != 200) {
        STATION_LOG(LogLevel::Warning) << "MediaSite : cannot open " << item.path << " : " << std::strerror(errno);
        catalogue_.ReportMissing(id);
        return NotFound(request.version);
    }
    return response;
}

MediaResponse MediaSite::MadeFile(const HttpRequestHead& request, const ItemRecord& item) {
    if (mp3s_ == nullptr) {
        STATION_LOG(LogLevel::Warning) << "MediaSite : item " << item.id << " is not an MP3 and none is made here";
        return NotFound(request.version);
    }
    UniqueFd file;
    std::uint64_t length = 0;
    if (mp3s_->TakeMade(item, file, length)) {
        return FileAnswer(request.version, std::move(file), length);
    }
    MediaResponse response;
    response.pending = std::make_shared<PendingMp3>(*mp3s_, item, request.version, request.method == "HEAD");
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
