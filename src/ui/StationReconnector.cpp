#include "ui/StationReconnector.h"

#include "foundation/LogEntry.h"
#include "player/VornPlayer.h"

namespace vorn {

StationReconnector::StationReconnector(VornPlayer& player, std::string host)
    : player_(player), host_(std::move(host)) {}

StationReconnector::~StationReconnector() { Join(); }

bool StationReconnector::Follow(const std::string& host, std::int32_t port) {
    if (host == host_) return false;
    Join();
    host_ = host;
    finished_.Reset();
    VORN_LOG(LogLevel::Info) << "Station host changed, reconnecting to " << host << ":" << port;
    thread_ = std::thread([this, host, port] {
        const int result = player_.ConnectToServer(host, port);
        if (result != 0) {
            VORN_LOG(LogLevel::Warning) << "Reconnecting to " << host << " failed, Error code = " << result;
        }
        finished_.Set();
    });
    return true;
}

void StationReconnector::Stop(std::uint32_t waitMs) {
    if (!thread_.joinable()) return;
    if (!finished_.Wait(waitMs)) {
        VORN_LOG(LogLevel::Warning) << "StationReconnector : Reconnect still running at shutdown, cancelling it";
        player_.CancelServerCalls();
    }
    Join();
}

void StationReconnector::Join() {
    if (thread_.joinable()) thread_.join();
}

}  // namespace vorn
