#pragma once

#include <chrono>
#include <optional>
#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "station/store/PgResult.h"

struct pg_conn;

namespace vorn::station {

// One libpq connection, driven without blocking: connecting and every
// statement wait for the socket with poll() until a deadline, so a server that
// is gone or hangs costs a caller at most the time it was given. A connection
// that failed or ran out of time is dropped and must be connected again.
// Used by one thread at a time.
class PgConnection {
public:
    using Deadline = std::chrono::steady_clock::time_point;

    explicit PgConnection(std::string connectionString);
    ~PgConnection();
    PgConnection(const PgConnection&) = delete;
    PgConnection& operator=(const PgConnection&) = delete;

    // Connects (dropping an earlier connection); false with `error` set when the
    // server cannot be reached, refuses or does not answer before the deadline.
    bool Connect(Deadline deadline, std::string& error);
    bool Connected() const;
    void Drop();

    // One statement with text parameters ($1, $2, ...; nullopt is NULL). Each
    // text is parsed and planned by the server once per connection (a prepared
    // statement), which halves the server's work for the station's short
    // statements.
    PgResult Run(const std::string& sql, const std::vector<std::optional<std::string>>& parameters,
                 Deadline deadline);
    // One or more statements without parameters.
    PgResult Exec(const std::string& sql, Deadline deadline);

private:
    // Waits for the socket to be readable (and writable when asked) until the
    // deadline; false when the time ran out or poll failed.
    bool Wait(bool write, Deadline deadline) const;
    PgResult Finish(Deadline deadline);
    // The name of the statement prepared for `sql` on this connection,
    // preparing it first; null when it could not be (then it is sent
    // unprepared).
    const std::string* Prepared(const std::string& sql, int parameterCount, Deadline deadline);

    static constexpr std::size_t kMostPrepared = 64;  // the station has fewer texts than that

    const std::string connectionString_;
    pg_conn* conn_ = nullptr;
    std::unordered_map<std::string, std::string> prepared_;  // statement text → name on this connection
};

}  // namespace vorn::station
