#include "station/store/PgConnection.h"

#include <libpq-fe.h>
#include <poll.h>

#include <cerrno>

namespace vorn::station {
namespace {

std::string Trimmed(const char* text) {
    std::string out = text == nullptr ? std::string() : std::string(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) {
        out.pop_back();
    }
    return out;
}

// Server-side bounds matching the client's own: a statement or a lock wait
// never runs on after the station gave up on it.
// The server's notices ("already exists, skipping") are expected chatter.
void IgnoreNotice(void*, const char*) {}

constexpr const char* kSessionSettings = "SET statement_timeout = 2000; SET lock_timeout = 1500";

}  // namespace

PgConnection::PgConnection(std::string connectionString) : connectionString_(std::move(connectionString)) {}

PgConnection::~PgConnection() { Drop(); }

void PgConnection::Drop() {
    prepared_.clear();  // they die with the server's session
    if (conn_ != nullptr) {
        PQfinish(conn_);
        conn_ = nullptr;
    }
}

bool PgConnection::Connected() const { return conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK; }

bool PgConnection::Wait(bool write, Deadline deadline) const {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd fd{PQsocket(conn_), static_cast<short>(POLLIN | (write ? POLLOUT : 0)), 0};
        if (fd.fd < 0) {
            return false;
        }
        const int ready = ::poll(&fd, 1, static_cast<int>(left.count()) + 1);
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

bool PgConnection::Connect(Deadline deadline, std::string& error) {
    Drop();
    conn_ = PQconnectStart(connectionString_.c_str());
    if (conn_ == nullptr) {
        error = "out of memory";
        return false;
    }
    if (PQstatus(conn_) == CONNECTION_BAD) {
        error = Trimmed(PQerrorMessage(conn_));
        Drop();
        return false;
    }
    PQsetNoticeProcessor(conn_, IgnoreNotice, nullptr);
    PostgresPollingStatusType status = PGRES_POLLING_WRITING;
    while (status != PGRES_POLLING_OK) {
        if (status == PGRES_POLLING_FAILED) {
            error = Trimmed(PQerrorMessage(conn_));
            Drop();
            return false;
        }
        if (!Wait(status == PGRES_POLLING_WRITING, deadline)) {
            error = "no answer in time";
            Drop();
            return false;
        }
        status = PQconnectPoll(conn_);
    }
    if (PQsetnonblocking(conn_, 1) != 0) {
        error = Trimmed(PQerrorMessage(conn_));
        Drop();
        return false;
    }
    const PgResult settings = Exec(kSessionSettings, deadline);
    if (!settings.Ok()) {
        error = settings.Error();
        Drop();
        return false;
    }
    return true;
}

PgResult PgConnection::Run(const std::string& sql, const std::vector<std::optional<std::string>>& parameters,
                           Deadline deadline) {
    if (!Connected()) {
        return PgResult(nullptr, "not connected");
    }
    std::vector<const char*> values;
    values.reserve(parameters.size());
    for (const std::optional<std::string>& parameter : parameters) {
        values.push_back(parameter ? parameter->c_str() : nullptr);
    }
    const std::string* name = Prepared(sql, static_cast<int>(values.size()), deadline);
    if (!Connected()) {
        return PgResult(nullptr, "connection lost while preparing a statement");
    }
    const int sent =
        name != nullptr
            ? PQsendQueryPrepared(conn_, name->c_str(), static_cast<int>(values.size()), values.data(), nullptr,
                                  nullptr, 0)
            : PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                                nullptr, 0);
    if (sent == 0) {
        PgResult failed(nullptr, Trimmed(PQerrorMessage(conn_)));
        Drop();
        return failed;
    }
    return Finish(deadline);
}

const std::string* PgConnection::Prepared(const std::string& sql, int parameterCount, Deadline deadline) {
    const auto found = prepared_.find(sql);
    if (found != prepared_.end()) {
        return &found->second;
    }
    if (prepared_.size() >= kMostPrepared) {
        return nullptr;
    }
    std::string name = "vorn_" + std::to_string(prepared_.size() + 1);
    if (PQsendPrepare(conn_, name.c_str(), sql.c_str(), parameterCount, nullptr) == 0) {
        Drop();
        return nullptr;
    }
    // A statement that cannot be prepared (inside a failed transaction, say)
    // is sent as it is, and the server's own answer tells what went wrong.
    if (!Finish(deadline).Ok()) {
        return nullptr;
    }
    return &prepared_.emplace(sql, std::move(name)).first->second;
}

PgResult PgConnection::Exec(const std::string& sql, Deadline deadline) {
    if (conn_ == nullptr) {
        return PgResult(nullptr, "not connected");
    }
    if (PQsendQuery(conn_, sql.c_str()) == 0) {
        PgResult failed(nullptr, Trimmed(PQerrorMessage(conn_)));
        Drop();
        return failed;
    }
    return Finish(deadline);
}

// Sends what is buffered, then collects every result of the query; the last
// failure, or else the last result, is the outcome.
PgResult PgConnection::Finish(Deadline deadline) {
    for (;;) {
        const int flushed = PQflush(conn_);
        if (flushed == 0) {
            break;
        }
        if (flushed < 0 || !Wait(true, deadline)) {
            PgResult failed(nullptr, flushed < 0 ? Trimmed(PQerrorMessage(conn_)) : "no answer in time");
            Drop();
            return failed;
        }
        if (PQconsumeInput(conn_) == 0) {
            PgResult failed(nullptr, Trimmed(PQerrorMessage(conn_)));
            Drop();
            return failed;
        }
    }
    PgResult outcome(nullptr, "no result");
    bool failed = false;
    for (;;) {
        while (PQisBusy(conn_) != 0) {
            if (!Wait(false, deadline)) {
                Drop();
                return PgResult(nullptr, "no answer in time");
            }
            if (PQconsumeInput(conn_) == 0) {
                PgResult broken(nullptr, Trimmed(PQerrorMessage(conn_)));
                Drop();
                return broken;
            }
        }
        pg_result* result = PQgetResult(conn_);
        if (result == nullptr) {
            break;
        }
        PgResult next(result, std::string());
        if (!failed || !next.Ok()) {
            failed = failed || !next.Ok();
            outcome = std::move(next);
        }
    }
    if (PQstatus(conn_) != CONNECTION_OK) {
        const std::string why = outcome.Ok() || outcome.Error().empty() ? Trimmed(PQerrorMessage(conn_)) : outcome.Error();
        Drop();
        return PgResult(nullptr, why);
    }
    return outcome;
}

}  // namespace vorn::station
