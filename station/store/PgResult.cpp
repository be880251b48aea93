#include "station/store/PgResult.h"

#include <libpq-fe.h>

#include <cerrno>
#include <cstdlib>

namespace vorn::station {

PgResult::PgResult(pg_result* result, std::string error) : result_(result), error_(std::move(error)) {
    if (error_.empty() && result_ == nullptr) {
        error_ = "no result";
    } else if (error_.empty() && !Ok()) {
        error_ = PQresultErrorMessage(result_);
        while (!error_.empty() && (error_.back() == '\n' || error_.back() == ' ')) {
            error_.pop_back();
        }
    }
}

PgResult::~PgResult() { PQclear(result_); }

PgResult::PgResult(PgResult&& other) noexcept : result_(other.result_), error_(std::move(other.error_)) {
    other.result_ = nullptr;
}

PgResult& PgResult::operator=(PgResult&& other) noexcept {
    if (this != &other) {
        PQclear(result_);
        result_ = other.result_;
        error_ = std::move(other.error_);
        other.result_ = nullptr;
    }
    return *this;
}

bool PgResult::Ok() const {
    if (result_ == nullptr) {
        return false;
    }
    const ExecStatusType status = PQresultStatus(result_);
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

int PgResult::Rows() const { return Ok() ? PQntuples(result_) : 0; }

bool PgResult::IsNull(int row, int column) const {
    return !Ok() || row >= PQntuples(result_) || column >= PQnfields(result_) ||
           PQgetisnull(result_, row, column) != 0;
}

std::int64_t PgResult::Int(int row, int column) const {
    if (IsNull(row, column)) {
        return 0;
    }
    const char* text = PQgetvalue(result_, row, column);
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    return (errno != 0 || end == text) ? 0 : value;
}

std::string PgResult::Text(int row, int column) const {
    if (IsNull(row, column)) {
        return {};
    }
    return std::string(PQgetvalue(result_, row, column),
                       static_cast<std::size_t>(PQgetlength(result_, row, column)));
}

std::string PgResult::State() const {
    if (result_ == nullptr) {
        return {};
    }
    const char* state = PQresultErrorField(result_, PG_DIAG_SQLSTATE);
    return state == nullptr ? std::string() : std::string(state);
}

}  // namespace vorn::station
