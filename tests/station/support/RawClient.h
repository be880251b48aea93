#pragma once

#include <string>

namespace vorn::station::test {

// A plain TCP client on a loopback address (127.0.0.1 unless given) with bounded waits, for talking to the
// station's ports byte by byte.
class RawClient {
public:
    // receiveBuffer other than 0 sets a small socket receive buffer first.
    explicit RawClient(int port, int receiveBuffer = 0, const std::string& host = "127.0.0.1");
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Connected() const { return fd_ >= 0; }
    bool Send(const std::string& data);
    // Everything until the peer closes, or until timeoutMs passes.
    std::string ReadAll(int timeoutMs = 5000) { return ReadAllPausing(0, 0, timeoutMs); }
    // The same from a client slower than the server: it stops for pauseMs
    // after every `every` bytes.
    std::string ReadAllPausing(std::size_t every, int pauseMs, int timeoutMs);
    // True when the peer closed (or reset) the connection within timeoutMs,
    // discarding anything it sent.
    bool ClosedWithin(int timeoutMs);
    // True when the peer reset the connection within timeoutMs, having sent
    // nothing before; false for a clean close, data or nothing.
    bool ResetWithin(int timeoutMs);

private:
    int fd_ = -1;
};

// Sends one request on a fresh connection and returns the whole answer.
std::string Exchange(int port, const std::string& request, int timeoutMs = 5000,
                     const std::string& host = "127.0.0.1");

// A TCP port free on the IPv4 address now (0 when none could be had), for a
// program that takes its port on the command line.
int FreePort(const std::string& host = "127.0.0.1");

}  // namespace vorn::station::test
