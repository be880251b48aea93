#pragma once

#include <cstdint>
#include <string>
#include <thread>

#include "platform/AutoResetEvent.h"

namespace vorn {

class VornPlayer;

// Follows the station host named in the preferences: when it differs from the
// host last followed, the player connects to the new one on a thread of this
// object's, because a connect blocks (for seconds when the host is slow or gone)
// and must not stop the window. One reconnect at a time; the thread is always
// joined, never detached.
//
// Used from the window thread only.
class StationReconnector {
public:
    // host: the host the player is (or is being) connected to at start.
    StationReconnector(VornPlayer& player, std::string host);
    ~StationReconnector();
    StationReconnector(const StationReconnector&) = delete;
    StationReconnector& operator=(const StationReconnector&) = delete;

    // Starts a reconnect to host:port when host differs from the host last
    // followed (exact text), after joining the reconnect before. True when one
    // was started.
    bool Follow(const std::string& host, std::int32_t port);
    // Ends a reconnect in progress before the player shuts down: waits up to
    // waitMs for it, then cancels the player's server calls (for good: only for
    // shutdown) and joins. Idempotent.
    void Stop(std::uint32_t waitMs);
    const std::string& Host() const { return host_; }

private:
    void Join();

    VornPlayer& player_;
    std::string host_;
    AutoResetEvent finished_;  // set by the reconnect thread as its last act
    std::thread thread_;
};

}  // namespace vorn
