#pragma once

#include <cstdint>
#include <string>

struct pg_result;

namespace vorn::station {

// The outcome of one statement on a PgConnection: rows when it returned some,
// or the reason it failed. Rows and columns are numbered from 0; a field read
// out of range or as NULL gives 0 or an empty text.
class PgResult {
public:
    PgResult() = default;
    // Takes ownership of `result` (may be null: no result at all).
    PgResult(pg_result* result, std::string error);
    ~PgResult();
    PgResult(PgResult&& other) noexcept;
    PgResult& operator=(PgResult&& other) noexcept;
    PgResult(const PgResult&) = delete;
    PgResult& operator=(const PgResult&) = delete;

    // The statement completed (with or without rows).
    bool Ok() const;
    const std::string& Error() const { return error_; }
    int Rows() const;
    bool IsNull(int row, int column) const;
    std::int64_t Int(int row, int column) const;
    std::string Text(int row, int column) const;
    // The SQLSTATE code of a failed statement, or empty.
    std::string State() const;

private:
    pg_result* result_ = nullptr;
    std::string error_;
};

}  // namespace vorn::station
