#include "station/store/PgConnectionPool.h"

#include "station/base/StationLog.h"

namespace vorn::station {

PgConnectionPool::Lease::~Lease() { Return(); }

PgConnectionPool::Lease::Lease(Lease&& other) noexcept : pool_(other.pool_), connection_(other.connection_) {
    other.connection_ = nullptr;
}

PgConnectionPool::Lease& PgConnectionPool::Lease::operator=(Lease&& other) noexcept {
    if (this != &other) {
        Return();
        pool_ = other.pool_;
        connection_ = other.connection_;
        other.connection_ = nullptr;
    }
    return *this;
}

void PgConnectionPool::Lease::Return() {
    if (connection_ != nullptr) {
        pool_->Give(connection_);
        connection_ = nullptr;
    }
}

PgConnectionPool::PgConnectionPool(std::string connectionString, int size, std::chrono::milliseconds retryPause)
    : retryPause_(retryPause) {
    for (int i = 0; i < std::max(size, 1); ++i) {
        connections_.push_back(std::make_unique<PgConnection>(connectionString));
        idle_.push_back(connections_.back().get());
    }
}

void PgConnectionPool::Give(PgConnection* connection) {
    {
        std::lock_guard lock(mutex_);
        idle_.push_back(connection);
    }
    returned_.notify_one();
}

PgConnectionPool::Use PgConnectionPool::Current() const {
    std::lock_guard lock(mutex_);
    const int size = static_cast<int>(connections_.size());
    return {size, size - static_cast<int>(idle_.size()), waits_};
}

PgConnectionPool::Lease PgConnectionPool::Acquire(Deadline deadline, std::string& error) {
    PgConnection* connection = nullptr;
    {
        std::unique_lock lock(mutex_);
        waits_ += idle_.empty() ? 1 : 0;
        if (!returned_.wait_until(lock, deadline, [this] { return !idle_.empty(); })) {
            error = "every database connection is busy";
            return Lease();
        }
        connection = idle_.back();
        idle_.pop_back();
        if (!connection->Connected() && std::chrono::steady_clock::now() < unreachableUntil_) {
            idle_.push_back(connection);
            error = lastError_;
            return Lease();
        }
    }
    Lease lease(this, connection);
    if (connection->Connected()) {
        return lease;
    }
    // Connecting happens outside the lock: other callers use the connections
    // that work meanwhile.
    std::string why;
    const bool connected = connection->Connect(deadline, why);
    bool changed = false;
    {
        std::lock_guard lock(mutex_);
        changed = reachable_ != connected;
        reachable_ = connected;
        if (!connected) {
            unreachableUntil_ = std::chrono::steady_clock::now() + retryPause_;
            lastError_ = "the database cannot be reached: " + why;
        }
    }
    if (changed && connected) {
        STATION_LOG(LogLevel::Info) << "PgConnectionPool : connected to the database again";
    } else if (changed) {
        STATION_LOG(LogLevel::Severe) << "PgConnectionPool : the database cannot be reached : " << why;
    }
    if (!connected) {
        error = "the database cannot be reached: " + why;
        return Lease();
    }
    return lease;
}

}  // namespace vorn::station
