#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "station/app/StationMetrics.h"
#include "station/web/MediaSite.h"
#include "station/base/StationConstants.h"
#include "station/protocol/RequestHandler.h"

namespace vorn::station {

// Answers one request of the protocol port: `target` is the request target as
// received between "GET " and " HTTP/1.x" (the path of an absolute-form target).
// Answer: `response` holds the exact bytes to send; Reset: the connection is
// reset instead; Unusable: `error` says why. The connection ends either way.
using ProtocolResponder =
    std::function<ProtocolOutcome(const std::string& target, std::string& response, std::string& error)>;

struct ServerSettings {
    std::string bindAddress = "127.0.0.1";
    int protocolPort = kDefaultProtocolPort;  // 0 here and below: any free port
    int mediaPort = kDefaultMediaPort;
    bool mirror = true;
    int mirrorPort = kDefaultMirrorPort;
    std::size_t headLimit = 64 * 1024;                 // longest request head read
    std::chrono::milliseconds headTimeout{10000};      // the whole head must arrive within this
    std::chrono::milliseconds idleTimeout{30000};      // longest wait for a client to take data
    // Connections each port holds at most, and one client address at most on
    // each port (an IPv6 client: its /64); more are closed at once.
    int maxConnections = kDefaultMaxConnections;
    int maxConnectionsPerAddress = kDefaultMaxConnectionsPerAddress;
    int threads = 4;
    // The threads for a station whose store is a database server of its own
    // (StationStore::Shared): each request waits for two round trips, and
    // more requests under way keep the cores busy meanwhile and share more
    // of the round trips (PostgresStore).
    static constexpr int kThreadsWithSharedStore = 12;
    // Counts every request and refused connection when set; must outlive the server.
    StationMetrics* metrics = nullptr;
};

// The descriptors the servers hold at most with these settings: one for each
// connection, and one more for each media or mirror answer's file.
long MostDescriptors(const ServerSettings& settings);

// The station's TCP servers: the protocol port, the media host and the
// content-network mirror, on a small fixed pool of threads. Each connection
// carries one request and is closed after its answer. A connection that sends
// no complete head in time, a head above the limit, or anything that is not a
// request is closed with a log line; a client that stops taking data is cut
// off after the idle time-out, so no client holds up another.
//
// Each port has a connection limit of its own, and one client address may hold
// only its share of each (ConnectionBudget); the protocol port keeps its last
// eighth for addresses that hold few there. A connection beyond a limit is
// reset at once, and each reason for refusing is logged at most once a second.
// A connection waiting for its request holds no buffer, and a file goes out
// from the page cache without one, so that many held connections cost little.
//
// A request in the absolute form of a proxied client goes to the handler of
// the port named in its URL, so any of the ports works as the client's proxy.
// The protocol port answers with the responder's bytes alone (no status line);
// the media ports speak HTTP/1.0 and 1.1.
class StationServer {
public:
    enum class Port { Protocol, Media, Mirror };

    explicit StationServer(ServerSettings settings);
    ~StationServer();  // stops
    StationServer(const StationServer&) = delete;
    StationServer& operator=(const StationServer&) = delete;

    // Opens the listening sockets; false with `error` set when one cannot be
    // opened. The ports are known afterwards.
    bool Bind(std::string& error);
    int ProtocolPort() const;
    int MediaPort() const;
    int MirrorPort() const;  // 0 when the mirror is off
    // Connections the port holds now, from their acceptance to their close.
    int OpenConnections(Port port) const;

    // Starts serving. The responder and the site must outlive Stop().
    void Start(ProtocolResponder protocol, MediaSite& site);
    // Stops accepting and serving and joins the threads. Idempotent.
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vorn::station
