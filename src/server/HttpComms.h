#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>

#include "server/HostLookup.h"

namespace vorn {

class Preferences;

// Result codes of HttpComms.
enum HttpResult : int {
    kHttpOk = 0,
    kHttpSendFailed = 1,      // socket, connect or send failure
    kHttpLookupFailed = 2,    // host name lookup failure
    kHttpNotConnected = 3,    // not connected and the connection attempt failed
    kHttpReceiveFailed = 4,   // receive failure
};

// A minimal HTTP client over one blocking TCP connection to one host and port.
// It builds and sends GET requests, reads a response head byte by byte up to the
// first blank line, and reads an exact number of body bytes into a stream; status
// codes and headers are its callers' business. The proxy settings are read from
// the preferences at every connection.
//
// Every public operation except Abort holds a re-entrant lock; Abort may be
// called from another thread to end a receive (or a name look-up, or a connect)
// that is blocked while holding it.
//
// Time limits, each ending its operation with that operation's failure code, so
// that no peer can hold a caller for longer: connecting, name look-up included,
// kConnectTimeoutMs; each receive kReceiveTimeoutMs; a whole response head
// kHeadTimeoutMs however slowly it trickles in; and a body must move at least
// kBodyWindowBytes in every kBodyWindowMs.
class HttpComms {
public:
    static constexpr int kConnectTimeoutMs = 10000;
    static constexpr int kReceiveTimeoutMs = 30000;
    static constexpr int kHeadTimeoutMs = 30000;
    static constexpr int kBodyWindowMs = 60000;
    static constexpr std::int64_t kBodyWindowBytes = 1024;
    // A head longer than this is refused instead of growing without bound.
    static constexpr std::size_t kMaxHeadBytes = 64 * 1024;

    struct Timeouts {
        int connectMs = kConnectTimeoutMs;
        int receiveMs = kReceiveTimeoutMs;
        int headMs = kHeadTimeoutMs;
        int bodyWindowMs = kBodyWindowMs;
    };
    // Empty reads (the peer has closed) that end a body transfer with code 4.
    static constexpr int kMaxEmptyReceives = 10;
    // Bytes read from the socket at a time. What arrives beyond the head stays in
    // this object for ReceiveBytes, just as it would stay in the socket.
    static constexpr std::size_t kReceiveBufferBytes = 64 * 1024;

    // preferences: where the proxy settings come from; null means Preferences::Global().
    HttpComms(std::string host, std::int32_t port, const Preferences* preferences = nullptr);
    ~HttpComms();
    HttpComms(const HttpComms&) = delete;
    HttpComms& operator=(const HttpComms&) = delete;

    int Connect();
    // Connects and closes again at once, logging nothing: whether the host (the
    // proxy, when one is set) takes connections on its port, within the connect
    // time limit. kHttpOk, kHttpLookupFailed or kHttpSendFailed.
    int Probe();
    void Disconnect();
    // Ends the connection from another thread without the lock: a blocked receive
    // fails at once, and this object refuses to connect from now on.
    void Abort();
    void SetServer(const std::string& host, std::int32_t port);
    // Sends the text and then CR LF CR LF, connecting first when needed.
    int SendRaw(const std::string& text);
    int Get(const std::string& path, bool http11);
    // Appends the head up to the first blank line; it then ends in one CR LF. A
    // head longer than maxBytes fails (out then holds more than maxBytes of it).
    int ReceiveHead(std::string& out, std::size_t maxBytes = kMaxHeadBytes);
    // Receives exactly count bytes into the stream as they arrive.
    int ReceiveBytes(std::int32_t count, std::ostream& stream);

    bool IsConnected();
    std::string Host();
    std::int32_t Port();
    void SetTimeouts(int connectMs, int receiveMs);
    void SetTimeouts(const Timeouts& timeouts);
    // Replaces the name look-up (tests stand in for a resolver that hangs).
    void SetResolver(HostLookup::Resolver resolver) { lookup_.SetResolver(std::move(resolver)); }

    // The request SendRaw gets from Get (without the final CR LF CR LF).
    std::string BuildGet(const std::string& path, bool http11);

private:
    // Resolves and connects without blocking (fd_ left non-blocking); logs its
    // failures unless quiet. Lock held.
    int OpenSocket(bool quiet);
    void CloseSocket();
    using Clock = std::chrono::steady_clock;
    // Bytes waiting in the receive buffer, reading from the socket when there are
    // none, waiting no later than the deadline (nor longer than one receive may):
    // more than 0, 0 when the peer has closed, -1 on an error or time-out.
    long Fill(int fd, Clock::time_point deadline);
    // The time by which the body must have moved kBodyWindowBytes more.
    Clock::time_point BodyDeadline();
    void CountBodyBytes(std::int64_t bytes);
    static void LogCommsError(int code, const char* function);

    std::recursive_mutex lock_;  // guards every field below except fd_ and aborted_
    std::string host_;
    std::int32_t port_;
    bool connected_ = false;
    Timeouts timeouts_;
    int lastConnectError_ = 0;    // the failing call's own code, for the caller's "Connect()" line
    // Body bytes counted so far and the times at which the count passed each
    // mark, pruned to the marks within the last kBodyWindowBytes: the oldest one
    // left starts the window in which kBodyWindowBytes more must arrive.
    std::int64_t bodyBytes_ = 0;
    std::deque<std::pair<Clock::time_point, std::int64_t>> bodyMarks_;
    const Preferences* preferences_;
    std::string buffer_;          // received but not yet handed out: buffer_[bufferStart_, bufferEnd_)
    std::size_t bufferStart_ = 0;
    std::size_t bufferEnd_ = 0;

    std::mutex fdMutex_;  // guards fd_, so Abort never shuts a descriptor another socket reuses
    int fd_ = -1;
    std::atomic<bool> aborted_{false};
    HostLookup lookup_;  // its own lock; Abort cancels it
};

}  // namespace vorn
