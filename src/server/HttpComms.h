#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>

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
// called from another thread to end a receive that is blocked while holding it.
// Connecting gives up after kConnectTimeoutMs and a receive after
// kReceiveTimeoutMs, each with its operation's failure code.
class HttpComms {
public:
    static constexpr int kConnectTimeoutMs = 10000;
    static constexpr int kReceiveTimeoutMs = 30000;
    // A head longer than this is refused instead of growing without bound.
    static constexpr std::size_t kMaxHeadBytes = 64 * 1024;
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
    void Disconnect();
    // Ends the connection from another thread without the lock: a blocked receive
    // fails at once, and this object refuses to connect from now on.
    void Abort();
    void SetServer(const std::string& host, std::int32_t port);
    // Sends the text and then CR LF CR LF, connecting first when needed.
    int SendRaw(const std::string& text);
    int Get(const std::string& path, bool http11);
    // Appends the head up to the first blank line; it then ends in one CR LF.
    int ReceiveHead(std::string& out);
    // Receives exactly count bytes into the stream as they arrive.
    int ReceiveBytes(std::int32_t count, std::ostream& stream);

    bool IsConnected();
    std::string Host();
    std::int32_t Port();
    void SetTimeouts(int connectMs, int receiveMs);

    // The request SendRaw gets from Get (without the final CR LF CR LF).
    std::string BuildGet(const std::string& path, bool http11);

private:
    void CloseSocket();
    // Bytes waiting in the receive buffer, reading from the socket when there are
    // none: more than 0, 0 when the peer has closed, -1 on an error.
    long Fill(int fd);
    static void LogCommsError(int code, const char* function);

    std::recursive_mutex lock_;  // guards every field below except fd_ and aborted_
    std::string host_;
    std::int32_t port_;
    bool connected_ = false;
    int connectTimeoutMs_ = kConnectTimeoutMs;
    int receiveTimeoutMs_ = kReceiveTimeoutMs;
    const Preferences* preferences_;
    std::string buffer_;          // received but not yet handed out: buffer_[bufferStart_, bufferEnd_)
    std::size_t bufferStart_ = 0;
    std::size_t bufferEnd_ = 0;

    std::mutex fdMutex_;  // guards fd_, so Abort never shuts a descriptor another socket reuses
    int fd_ = -1;
    std::atomic<bool> aborted_{false};
};

}  // namespace vorn
