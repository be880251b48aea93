#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "download/HttpFileRetriever.h"
#include "server/HttpComms.h"
#include "server/UrlParts.h"

namespace vorn {

class Preferences;

// Fetches a track's picture (its cover art) from the media host into a file
// beside the track, on the caller's thread: one GET straight to the host
// (through the proxy when one is set), "200 OK" with a Content-Length of at
// most kMaxBytes, and a body that is a JPEG or PNG picture. The file is named
// by the picture's kind (stem + ".jpg" or ".png"); it is written under a
// hidden part name (HttpFileRetriever::PartName) and renamed once whole.
//
// A picture is a nicety: every failure is one log line of its own and a code,
// and the whole fetch is over within kDeadline (plus one receive's limit)
// however slowly the host answers. Abort, from another thread, ends a fetch
// at once and refuses every later one.
//
// Codes are the retriever's (RetrievalResult): 0 stored, 1 or 3 not sent, 4 receive failed,
// 5 unusable response (no "200 OK", no or bad Content-Length, too large),
// 6 not an "http" URL or not a JPEG or PNG, 7 aborted.
class ArtRetriever {
public:
    static constexpr std::int64_t kMaxBytes = 2 * 1024 * 1024;
    static constexpr std::chrono::milliseconds kDeadline{10000};
    // Each step of the connection (connect, a receive, the head, a block of the body).
    static constexpr int kStepLimitMs = 5000;

    // preferences: where the connection finds the proxy; null means the global ones.
    explicit ArtRetriever(const Preferences* preferences = nullptr);
    ArtRetriever(const ArtRetriever&) = delete;
    ArtRetriever& operator=(const ArtRetriever&) = delete;

    // Fetches `url` into `folder` (ending with the separator) as stem + the
    // picture's extension.
    std::int32_t Fetch(const UrlParts& url, const std::string& folder, const std::string& stem);
    void Abort();

    // ".jpg" or ".png" for a body that starts as those pictures do; empty otherwise.
    static std::string PictureExtension(std::string_view body);

private:
    std::int32_t Receive(const UrlParts& url, std::string& body);

    std::atomic<bool> aborted_{false};
    HttpComms connection_;
};

}  // namespace vorn
