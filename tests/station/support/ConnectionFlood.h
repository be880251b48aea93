#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace vorn::station::test {

// A hostile client: many connections from one loopback address to ports of
// 127.0.0.1, each either silent or trickling a request head that never ends
// (three bytes every two seconds). Every connection the server closes is
// opened again at once, for as long as the object lives.
class ConnectionFlood {
public:
    struct Target {
        int port = 0;
        int count = 0;
        bool trickle = false;
    };

    // Starts at once on a thread of its own. `source` is the address the
    // connections come from (any of 127.0.0.0/8).
    ConnectionFlood(std::string source, std::vector<Target> targets);
    ~ConnectionFlood();  // closes every connection
    ConnectionFlood(const ConnectionFlood&) = delete;
    ConnectionFlood& operator=(const ConnectionFlood&) = delete;

    // True once every connection has been opened at least once within the time.
    bool WaitUntilOpened(int timeoutMs) const;
    long Opened() const { return opened_.load(); }  // reopened ones included
    long Closed() const { return closed_.load(); }  // by the server
    // Connections whose socket could not even be made or bound (out of
    // descriptors or local ports); they are tried again shortly.
    long Failed() const { return failed_.load(); }

private:
    void Run();

    const std::string source_;
    const std::vector<Target> targets_;
    int total_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<long> opened_{0};
    std::atomic<long> closed_{0};
    std::atomic<long> failed_{0};
    std::atomic<int> everOpened_{0};
    std::thread thread_;
};

// Raises this process's soft limit of open descriptors to at least `wanted`
// (never above the hard limit); false when the hard limit is lower.
bool RaiseDescriptorLimitTo(long wanted);

}  // namespace vorn::station::test
