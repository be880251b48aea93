#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/LoopbackServer.h"

namespace vorn::test {

// A media host on loopback for download tests: "GET /<anything>/<n>.mp3" answers
// "200 OK" with a Content-Length and n-dependent bytes (BodyFor); a path holding
// "missing" answers 404; a path ending in one given to Serve answers its body.
// Each connection is served on its own thread.
class MediaHostStub {
public:
    explicit MediaHostStub(std::size_t bodySize = 5000);
    std::string Url(const std::string& path) const;  // "http://127.0.0.1:<port>" + path
    std::string Origin() const;
    int Requests() const { return requests_; }
    // Milliseconds to pause after each 1024 bytes (0: send at once).
    void SetBlockDelay(int ms) { blockDelayMs_ = ms; }
    std::string BodyFor(const std::string& path) const;
    // Every file served from now on has this content (for example a real MP3).
    void SetFixedBody(std::string body);
    // Requests whose path (or proxy-form URL) ends with `pathEnd` get this body.
    void Serve(const std::string& pathEnd, std::string body);
    // The request lines received so far ("GET /a/1.mp3 HTTP/1.1").
    std::vector<std::string> RequestLines() const;

private:
    const std::size_t bodySize_;
    std::atomic<int> requests_{0};
    std::atomic<int> blockDelayMs_{0};
    mutable std::mutex mutex_;  // guards fixedBody_, served_ and requestLines_
    std::string fixedBody_;
    std::map<std::string, std::string> served_;
    std::vector<std::string> requestLines_;
    LoopbackServer server_;
};

}  // namespace vorn::test
