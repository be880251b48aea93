#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace vorn::station {

// One prepared statement of a SqliteDatabase. Bind parameters are numbered from 1,
// columns from 0. Step() returns true while a row is available; Done() tells
// whether the last Step() ended the statement without an error. Reset() makes it
// ready for the next use and clears the bindings.
class SqliteStatement {
public:
    SqliteStatement() = default;
    SqliteStatement(sqlite3* db, std::string_view sql);
    ~SqliteStatement();
    SqliteStatement(SqliteStatement&& other) noexcept;
    SqliteStatement& operator=(SqliteStatement&& other) noexcept;
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    bool Valid() const { return stmt_ != nullptr; }
    SqliteStatement& Bind(int index, std::int64_t value);
    SqliteStatement& Bind(int index, const std::string& value);
    SqliteStatement& BindBlob(int index, std::string_view bytes);
    SqliteStatement& BindNull(int index);
    bool Step();
    bool Done() const { return done_; }
    // Runs a statement that returns no rows; true when it completed.
    bool Run();
    void Reset();

    std::int64_t Int(int column) const;
    std::string Text(int column) const;  // also a blob's bytes
    bool IsNull(int column) const;

private:
    sqlite3* db_ = nullptr;
    sqlite3_stmt* stmt_ = nullptr;
    bool done_ = false;
};

// An open SQLite connection. Errors are logged with the statement text; every
// call reports success as a flag and never throws. Not safe for use by several
// threads at once: its owner serialises access.
class SqliteDatabase {
public:
    SqliteDatabase() = default;
    ~SqliteDatabase();
    SqliteDatabase(const SqliteDatabase&) = delete;
    SqliteDatabase& operator=(const SqliteDatabase&) = delete;

    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return db_ != nullptr; }

    // Runs one or more statements that return no rows.
    bool Exec(std::string_view sql);
    SqliteStatement Prepare(std::string_view sql);
    std::int64_t LastInsertId() const;
    std::string ErrorText() const;

private:
    sqlite3* db_ = nullptr;
};

}  // namespace vorn::station
