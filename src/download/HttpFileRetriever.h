#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "download/FileRetrieverListener.h"
#include "server/HttpComms.h"
#include "server/UrlParts.h"

namespace vorn {

class Preferences;

// Result codes of one download attempt, and the code given to OnRetrievalError.
enum RetrievalResult : std::int32_t {
    kRetrieved = 0,           // downloaded, or already present
    kRequestNotSent = 1,      // sending failed (3: no connection could be made)
    kNoConnection = 3,
    kReceiveFailed = 4,       // receiving the head or the body failed
    kUnusableResponse = 5,    // bad redirect, no "200 OK", no or bad Content-Length
    kNotAnMp3 = 6,            // local name not ending in ".mp3", or a URL that is not "http" or names no port
    kCancelled = 7,           // Stop
};

// The content network mirrors any web host under this suffix, on kCdnPort. The
// name is under the reserved "invalid" domain, so without a proxy that knows the
// mirror the content-network attempts fail at once, without a look-up.
inline constexpr const char* CDN_HOST_SUFFIX = ".vorn-cdn.invalid";
inline constexpr std::int32_t kCdnPort = 8090;
inline constexpr std::int32_t kBlockSize = 1024;

// Downloads one media file over HTTP into a local file on a thread of its own and
// reports to a listener (itself, with log lines only, when none is given). Tries
// four times: through the content network with HTTP/1.1 then 1.0, then directly
// with 1.1 then 1.0; follows one "302 Found"; insists on "200 OK", a
// Content-Length and a local name ending in ".mp3"; streams 1024-byte blocks.
//
// The body is written to a short hidden name in the same folder (".vorn-", 16
// lowercase hex digits, ".part"; see PartName) and renamed to localPath once whole,
// so a file at localPath is always complete, even after a crash mid-transfer, and
// a local name as long as the file system allows still works. The part file is
// deleted on every failure and on cancel; leftovers of a crash are the owner's to
// clear.
//
// A station must not be able to fill the disk: a declared length above the limit
// (kDefaultMaxBytes, or the store value "MaxDownloadBytes", a number) or one that
// would leave less than kMinFreeBytes free on the target's file system is refused
// with code 5 before anything is written.
//
// Construction does not start anything: Start launches the worker (or, for a URL
// that is not "http", reports error 6 at once on the calling thread). The split
// lets the owner store itself before a synchronous report can reach it.
class HttpFileRetriever : public FileRetrieverListener {
public:
    static constexpr std::int64_t kDefaultMaxBytes = std::int64_t{1} << 30;
    static constexpr std::uint64_t kMinFreeBytes = std::uint64_t{1} << 30;

    // preferences: where the connection finds the proxy; null means the global ones.
    HttpFileRetriever(FileRetrieverListener* listener, std::string localPath, UrlParts url,
                      const Preferences* preferences = nullptr);
    // Waits for the worker thread; call Stop first to cancel a running download.
    // Must not run on the worker thread itself (see IsFinished).
    ~HttpFileRetriever() override;
    HttpFileRetriever(const HttpFileRetriever&) = delete;
    HttpFileRetriever& operator=(const HttpFileRetriever&) = delete;

    void Start();
    // Cancels the transfer and waits for the worker: the partial file is deleted
    // and the listener hears nothing more. Call from any thread but the worker.
    void Stop();
    // True once the worker has made its last move (or Start reported at once):
    // from then on destroying this object never waits.
    bool IsFinished() const { return finished_; }
    // True when the calling thread is this retriever's worker.
    bool IsWorkerThread() const;

    const std::string& LocalPath() const { return localPath_; }
    const std::string& PartPath() const { return partPath_; }
    // The part file's name for a local path: ".vorn-" + 16 lowercase hex digits +
    // ".part", from the path mixed with the process id and a counter, so that two
    // downloads never share one.
    static std::string PartName(const std::string& localPath);

    // Before Start. Instead of the store's limit and the free space to keep.
    void SetLimits(std::int64_t maxBytes, std::uint64_t minFreeBytes);
    // Before Start. The connection's time limits (tests shorten them).
    void SetTimeouts(const HttpComms::Timeouts& timeouts);
    // The largest declared length accepted: "MaxDownloadBytes" from the store when
    // it holds a positive number, else kDefaultMaxBytes; never more than the
    // listener's 32-bit byte count can carry.
    static std::int64_t ConfiguredMaxBytes();

    // The listener of last resort: log lines only.
    void OnFileRetrieved(std::int32_t totalBytes, float rateKBps) override;
    void OnRetrievalError(std::int32_t code) override;
    void OnRetrievalStatus(float rateKBps, float percent) override;

private:
    enum class Route { ViaCdn, Direct };

    void Run();
    std::int32_t Attempt(bool http11, Route route);
    // Sends the GET for the redirect target and reads its head; 0 or a failure code.
    std::int32_t FollowRedirect(const UrlParts& target, bool http11, std::string& head);
    std::int32_t Receive(std::int32_t total, std::uint32_t startTicks);
    // Whether the target's file system keeps kMinFreeBytes free after total more.
    bool HasRoomFor(std::int64_t total) const;
    std::int32_t Fail(std::int32_t result);

    FileRetrieverListener* const listener_;  // not owned
    const std::string localPath_;
    const std::string partPath_;
    const UrlParts url_;
    const Preferences* const preferences_;
    std::unique_ptr<HttpComms> connection_;
    std::atomic<bool> cancelRequested_{false};
    std::atomic<bool> finished_{false};
    std::int64_t maxBytes_ = -1;  // -1: read the store when the worker starts
    std::uint64_t minFreeBytes_ = kMinFreeBytes;
    HttpComms::Timeouts timeouts_;
    std::thread worker_;
};

}  // namespace vorn
