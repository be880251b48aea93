#pragma once

#include <cstdint>
#include <string>

#include "station/catalogue/Catalogue.h"
#include "station/web/HttpRequestHead.h"
#include "station/catalogue/ItemDetails.h"
#include "station/media/MediaFacts.h"

namespace vorn::station {

// An open file descriptor, closed when the object goes.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd();
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// One answer of the media host: the head, then either `body` or `fileLength`
// bytes read from `file` as they are sent.
struct MediaResponse {
    int status = 0;
    std::string head;
    std::string body;
    UniqueFd file;
    std::uint64_t fileLength = 0;
};

// The media host and its content-network mirror, as HTTP/1.0 and 1.1 answers:
//   /media/<id>.mp3   the item's file, "200 OK" with Content-Length (or, in
//                     redirect mode, "302 Found" to /files/<id>.mp3 on the host)
//   /files/<id>.mp3   the item's file, never redirected
//   /item/<id>.html   the item's page (its "Source" link); with "?l=<token>"
//                     of a listener the store knows, also why the item was
//                     picked for them and a link to their page
//   /listener/<token> the listener's page; 404 for a token the store does not
//                     know, the same answer whatever the text, after the same
//                     lookup (StationStore::ListenerOfToken)
//   /art/<key>.jpg    a picture of the art cache (MediaFacts::ArtFile), which
//                     never changes under its key: cached for a year
//   /help.html, /     the help page and the product page
// anything else 404. GET and HEAD only. The mirror serves the same for host
// names of the form "<media host>[:port]" + kCdnHostSuffix and refuses other
// origins with 404. Every answer closes the connection.
class MediaSite {
public:
    // `facts` gives the pictures (none without it).
    MediaSite(StationStore& store, Catalogue& catalogue, MediaLinks links, bool redirectMedia,
              const MediaFacts* facts = nullptr);
    MediaSite(const MediaSite&) = delete;
    MediaSite& operator=(const MediaSite&) = delete;

    MediaResponse Respond(const HttpRequestHead& request, bool mirror);

    // A complete answer with a body of its own.
    static MediaResponse Simple(const std::string& version, int status, const std::string& reason,
                                const std::string& contentType, const std::string& body,
                                const std::string& extraHeaders = "");

private:
    bool IsOurOrigin(const HttpRequestHead& request) const;
    MediaResponse File(const HttpRequestHead& request, std::int32_t id);
    MediaResponse Art(const HttpRequestHead& request, const std::string& key);
    MediaResponse Item(const HttpRequestHead& request, std::int32_t id);
    MediaResponse Listener(const HttpRequestHead& request, const std::string& token);

    StationStore& store_;
    Catalogue& catalogue_;
    const MediaLinks links_;
    const bool redirectMedia_;
    const MediaFacts* const facts_;
};

}  // namespace vorn::station
