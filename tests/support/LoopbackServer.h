#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vorn::test {

// A TCP server on 127.0.0.1 (or another loopback address) with a free port, for testing clients against a real
// socket. Each accepted connection is handed to the handler on the server's own
// thread (or on a thread per connection); the handler reads and writes through the
// Connection. Stop (or destruction) closes everything and joins the thread.
class LoopbackServer {
public:
    class Connection {
    public:
        explicit Connection(int fd) : fd_(fd) {}
        // Reads until the text ends with `terminator` (or the peer closes, or
        // timeoutMs passes); returns what arrived.
        std::string ReadUntil(const std::string& terminator, int timeoutMs = 5000);
        // Reads whatever arrives until the peer closes or timeoutMs passes.
        std::string ReadAll(int timeoutMs = 5000);
        bool Write(const std::string& data);
        void Close();
        int Fd() const { return fd_; }

    private:
        int fd_;
    };
    using Handler = std::function<void(Connection&)>;

    // concurrent: each connection gets a thread of its own (joined by Stop, which
    // also shuts every open connection down); otherwise one at a time. address:
    // another loopback address (127.0.0.2) to listen on.
    explicit LoopbackServer(Handler handler, bool concurrent = false, std::uint16_t port = 0,
                            const char* address = "127.0.0.1");
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::uint16_t Port() const { return port_; }
    int Accepted() const { return accepted_; }
    void Stop();

private:
    void Run();

    void Serve(int fd);

    Handler handler_;
    const bool concurrent_;
    std::mutex mutex_;  // guards workers_ and openFds_
    std::vector<std::thread> workers_;
    std::vector<int> openFds_;
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

// Waits up to timeoutMs for the condition, checking every few milliseconds.
bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 5000);

}  // namespace vorn::test
