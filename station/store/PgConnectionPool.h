#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "station/store/PgConnection.h"

namespace vorn::station {

// A few connections to one PostgreSQL server, lent to one caller at a time.
// A connection that broke is connected again when next lent, so the station
// finds the server again by itself after it restarted; while it stays away,
// callers fail at once for a short while after each failed attempt instead of
// each waiting for their own.
class PgConnectionPool {
public:
    using Deadline = PgConnection::Deadline;

    // Connection to the pool's owner for the life of the lease; empty when none
    // could be had before the deadline.
    class Lease {
    public:
        Lease() = default;
        Lease(PgConnectionPool* pool, PgConnection* connection) : pool_(pool), connection_(connection) {}
        ~Lease();
        Lease(Lease&& other) noexcept;
        Lease& operator=(Lease&& other) noexcept;
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;

        explicit operator bool() const { return connection_ != nullptr; }
        PgConnection* operator->() const { return connection_; }

    private:
        void Return();

        PgConnectionPool* pool_ = nullptr;
        PgConnection* connection_ = nullptr;
    };

    PgConnectionPool(std::string connectionString, int size,
                     std::chrono::milliseconds retryPause = std::chrono::milliseconds(250));
    PgConnectionPool(const PgConnectionPool&) = delete;
    PgConnectionPool& operator=(const PgConnectionPool&) = delete;

    // A connected connection, or an empty lease (with `error` set) when none is
    // free, the server cannot be reached or the deadline passes first.
    Lease Acquire(Deadline deadline, std::string& error);

    struct Use {
        int size = 0;
        int inUse = 0;            // lent out now
        std::uint64_t waits = 0;  // callers that found none free and waited
    };
    Use Current() const;

private:
    void Give(PgConnection* connection);

    const std::chrono::milliseconds retryPause_;
    std::vector<std::unique_ptr<PgConnection>> connections_;
    mutable std::mutex mutex_;  // guards idle_, unreachableUntil_, lastError_, reachable_, waits_
    std::condition_variable returned_;
    std::vector<PgConnection*> idle_;
    std::chrono::steady_clock::time_point unreachableUntil_{};
    std::string lastError_;
    bool reachable_ = true;
    std::uint64_t waits_ = 0;
};

}  // namespace vorn::station
