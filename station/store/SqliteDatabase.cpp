#include "station/store/SqliteDatabase.h"

#include <sqlite3.h>

#include "station/base/StationLog.h"

namespace vorn::station {

SqliteStatement::SqliteStatement(sqlite3* db, std::string_view sql) : db_(db) {
    if (sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                           &stmt_, nullptr) != SQLITE_OK) {
        STATION_LOG(LogLevel::Severe) << "SqliteDatabase : cannot prepare \"" << sql
                                      << "\" : " << sqlite3_errmsg(db);
        stmt_ = nullptr;
    }
}

SqliteStatement::~SqliteStatement() { sqlite3_finalize(stmt_); }

SqliteStatement::SqliteStatement(SqliteStatement&& other) noexcept
    : db_(other.db_), stmt_(other.stmt_), done_(other.done_) {
    other.stmt_ = nullptr;
}

SqliteStatement& SqliteStatement::operator=(SqliteStatement&& other) noexcept {
    if (this != &other) {
        sqlite3_finalize(stmt_);
        db_ = other.db_;
        stmt_ = other.stmt_;
        done_ = other.done_;
        other.stmt_ = nullptr;
    }
    return *this;
}

SqliteStatement& SqliteStatement::Bind(int index, std::int64_t value) {
    if (stmt_ != nullptr) {
        sqlite3_bind_int64(stmt_, index, value);
    }
    return *this;
}

SqliteStatement& SqliteStatement::Bind(int index, const std::string& value) {
    if (stmt_ != nullptr) {
        sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    }
    return *this;
}

SqliteStatement& SqliteStatement::BindBlob(int index, std::string_view bytes) {
    if (stmt_ != nullptr) {
        sqlite3_bind_blob64(stmt_, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
    }
    return *this;
}

SqliteStatement& SqliteStatement::BindNull(int index) {
    if (stmt_ != nullptr) {
        sqlite3_bind_null(stmt_, index);
    }
    return *this;
}

bool SqliteStatement::Step() {
    done_ = false;
    if (stmt_ == nullptr) {
        return false;
    }
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) {
        return true;
    }
    if (rc == SQLITE_DONE) {
        done_ = true;
    } else {
        STATION_LOG(LogLevel::Severe) << "SqliteDatabase : \"" << sqlite3_sql(stmt_)
                                      << "\" failed : " << sqlite3_errmsg(db_);
    }
    return false;
}

bool SqliteStatement::Run() {
    while (Step()) {
    }
    const bool ok = done_;
    Reset();
    return ok;
}

void SqliteStatement::Reset() {
    if (stmt_ != nullptr) {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
}

std::int64_t SqliteStatement::Int(int column) const {
    return stmt_ == nullptr ? 0 : sqlite3_column_int64(stmt_, column);
}

std::string SqliteStatement::Text(int column) const {
    if (stmt_ == nullptr) {
        return {};
    }
    const unsigned char* text = sqlite3_column_text(stmt_, column);
    const int size = sqlite3_column_bytes(stmt_, column);
    return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text), size);
}

bool SqliteStatement::IsNull(int column) const {
    return stmt_ == nullptr || sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

SqliteDatabase::~SqliteDatabase() { Close(); }

bool SqliteDatabase::Open(const std::string& path) {
    Close();
    const int rc = sqlite3_open_v2(path.c_str(), &db_,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        STATION_LOG(LogLevel::Severe) << "SqliteDatabase : cannot open " << path << " : "
                                      << (db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
        Close();
        return false;
    }
    sqlite3_busy_timeout(db_, 5000);
    return true;
}

void SqliteDatabase::Close() {
    if (db_ != nullptr) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

bool SqliteDatabase::Exec(std::string_view sql) {
    if (db_ == nullptr) {
        return false;
    }
    char* message = nullptr;
    const std::string text(sql);
    if (sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        STATION_LOG(LogLevel::Severe) << "SqliteDatabase : \"" << text << "\" failed : "
                                      << (message != nullptr ? message : "unknown error");
        sqlite3_free(message);
        return false;
    }
    return true;
}

SqliteStatement SqliteDatabase::Prepare(std::string_view sql) {
    if (db_ == nullptr) {
        return SqliteStatement();
    }
    return SqliteStatement(db_, sql);
}

std::int64_t SqliteDatabase::LastInsertId() const {
    return db_ == nullptr ? 0 : sqlite3_last_insert_rowid(db_);
}

std::string SqliteDatabase::ErrorText() const { return db_ == nullptr ? "not open" : sqlite3_errmsg(db_); }

}  // namespace vorn::station
