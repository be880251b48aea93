#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "station/catalogue/Catalogue.h"
#include "station/web/HttpRequestHead.h"
#include "station/catalogue/ItemDetails.h"
#include "station/media/MediaFacts.h"
#include "station/base/UniqueFd.h"

namespace vorn::station {

class PendingMedia;
class TranscodeQueue;

// One answer of the media host: the head, then either `body` or `fileLength`
// bytes read from `file` as they are sent; or, with `pending` set, nothing
// yet: the answer comes later from there.
struct MediaResponse {
    int status = 0;
    std::string head;
    std::string body;
    UniqueFd file;
    std::uint64_t fileLength = 0;
    std::shared_ptr<PendingMedia> pending;
};

// An answer that waits for its file to be made. The server asks for it once
// and gives up after Limit(), answering GaveUp() instead; it must not hold a
// thread meanwhile.
class PendingMedia {
public:
    virtual ~PendingMedia() = default;
    // Calls `answer` once with the answer, at once or later from another thread.
    virtual void WhenReady(std::function<void(MediaResponse)> answer) = 0;
    virtual std::chrono::milliseconds Limit() const = 0;
    virtual MediaResponse GaveUp() const = 0;
};

// The media host and its content-network mirror, as HTTP/1.0 and 1.1 answers:
//   /media/<id>.mp3   the item's file, "200 OK" with Content-Length (or, in
//                     redirect mode, "302 Found" to /files/<id>.mp3 on the host):
//                     an MP3 as it is, any other format as the MP3 made of it
//                     (`mp3s`), waiting for it to be made when it is not yet
//                     (at most kMadeWait; then "503 Service Unavailable" with
//                     Retry-After); 404 for a file that cannot be made into one
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
    // `facts` gives the pictures (none without it). Without `mp3s`, files in
    // other formats than MP3 are not served (404).
    MediaSite(StationStore& store, Catalogue& catalogue, MediaLinks links, bool redirectMedia,
              const MediaFacts* facts = nullptr, TranscodeQueue* mp3s = nullptr);
    MediaSite(const MediaSite&) = delete;
    MediaSite& operator=(const MediaSite&) = delete;

    MediaResponse Respond(const HttpRequestHead& request, bool mirror);

    // A complete answer with a body of its own.
    // How long a request waits for its MP3 to be made: below the client's
    // 30 s for a response head, so that it hears why, and tries again.
    static constexpr std::chrono::milliseconds kMadeWait{20000};

    static MediaResponse Simple(const std::string& version, int status, const std::string& reason,
                                const std::string& contentType, const std::string& body,
                                const std::string& extraHeaders = "");

private:
    bool IsOurOrigin(const HttpRequestHead& request) const;
    MediaResponse File(const HttpRequestHead& request, std::int32_t id);
    MediaResponse Art(const HttpRequestHead& request, const std::string& key);
    MediaResponse MadeFile(const HttpRequestHead& request, const ItemRecord& item);
    MediaResponse Item(const HttpRequestHead& request, std::int32_t id);
    MediaResponse Listener(const HttpRequestHead& request, const std::string& token);

    StationStore& store_;
    Catalogue& catalogue_;
    const MediaLinks links_;
    const bool redirectMedia_;
    const MediaFacts* const facts_;
    TranscodeQueue* const mp3s_;
};

}  // namespace vorn::station
