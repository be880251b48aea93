#include "station/store/PostgresStore.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include "platform/Clock.h"
#include "station/store/ListenerToken.h"
#include "station/store/StoredValues.h"
#include "station/base/StationLog.h"
#include "station/base/Utf8Text.h"

namespace vorn::station {
namespace {

using Deadline = PgConnection::Deadline;

constexpr std::chrono::milliseconds kRequestBudget(2000);
constexpr std::chrono::milliseconds kBulkBudget(20000);
constexpr int kConnections = PostgresStore::kRoundTripsInFlight;
// Calls that share one round trip at most (GroupedCalls): enough for every
// request a station has under way.
constexpr std::size_t kMostGrouped = 64;
constexpr int kIdAttempts = 64;
// Advisory locks: one station at a time creates the schema or stores a scan.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(7366001)";
constexpr const char* kScanLock = "SELECT pg_advisory_xact_lock(7366002)";

constexpr const char* kSchema = R"sql(
CREATE SEQUENCE listener_ids AS integer START 1;
CREATE TABLE listeners(
  id integer PRIMARY KEY,
  created bigint NOT NULL);
CREATE TABLE items(
  id serial PRIMARY KEY,
  path text NOT NULL UNIQUE,
  artist text NOT NULL, title text NOT NULL, album text NOT NULL, genre text NOT NULL,
  length integer NOT NULL, size bigint NOT NULL, modified bigint NOT NULL,
  present boolean NOT NULL);
CREATE TABLE ratings(
  listener integer NOT NULL REFERENCES listeners(id),
  item integer NOT NULL REFERENCES items(id),
  value integer NOT NULL,
  updated bigint NOT NULL,
  PRIMARY KEY(listener, item));
CREATE TABLE recent(
  seq bigserial PRIMARY KEY,
  listener integer NOT NULL,
  item integer NOT NULL);
CREATE INDEX recent_by_listener ON recent(listener, seq);
)sql";

// Version 2: page tokens, found by the SHA-256 of the token (ListenerToken),
// and the reason told with each recent recommendation.
constexpr const char* kTokensAndReasons = R"sql(
CREATE TABLE listener_tokens(
  listener integer PRIMARY KEY REFERENCES listeners(id),
  token text NOT NULL,
  lookup text NOT NULL UNIQUE);
ALTER TABLE recent ADD COLUMN why text NOT NULL DEFAULT '';
)sql";

// Version 3: the recent memory keeps one row per answer, its items and their
// reasons in arrays, the rows so far becoming sets of one item each.
constexpr const char* kRecentSets = R"sql(
CREATE TABLE recent_sets(
  seq bigserial PRIMARY KEY,
  listener integer NOT NULL,
  items integer[] NOT NULL,
  whys text[] NOT NULL);
CREATE INDEX recent_sets_by_listener ON recent_sets(listener, seq);
INSERT INTO recent_sets(listener, items, whys) SELECT listener, ARRAY[item], ARRAY[why] FROM recent ORDER BY seq;
DROP TABLE recent;
)sql";

// Version 4: paths are kept as bytes, so that a file name in another
// encoding than UTF-8 is kept too. The bytes of a path so far are those the
// station sent, in the connection's encoding; ids stay as they were.
constexpr const char* kPathsAsBytes = R"sql(
ALTER TABLE items ALTER COLUMN path TYPE bytea USING convert_to(path, pg_client_encoding());
)sql";

// Version 5: items are recordings, known by their content key; a path may
// pass from one item to another (a file replaced by another recording), so
// it is no longer unique. Every file's last judgement and the items' sound
// prints get tables of their own. Items of before keep their ids and have no
// content key until a scan finds them again.
constexpr const char* kContentIdentity = R"sql(
ALTER TABLE items DROP CONSTRAINT IF EXISTS items_path_key;
ALTER TABLE items ADD COLUMN format text NOT NULL DEFAULT 'mp3', ADD COLUMN bitrate integer NOT NULL DEFAULT 0,
  ADD COLUMN content bigint UNIQUE, ADD COLUMN print_hash bigint NOT NULL DEFAULT 0;
CREATE INDEX items_by_path ON items(path);
CREATE TABLE files(
  path bytea PRIMARY KEY,
  size bigint NOT NULL, modified bigint NOT NULL,
  skipped integer NOT NULL, item integer NOT NULL,
  format text NOT NULL, bitrate integer NOT NULL, content bigint);
CREATE TABLE prints(
  content bigint PRIMARY KEY,
  print bytea NOT NULL);
)sql";

// Version 6: what was learnt from each item's file (MediaFactsRecord), its
// loudness in hundredths of a dB.
constexpr const char* kMediaFacts = R"sql(
CREATE TABLE media_facts(
  item integer PRIMARY KEY REFERENCES items(id),
  size bigint NOT NULL, modified bigint NOT NULL,
  loudness_from integer NOT NULL, integrated integer NOT NULL, true_peak integer NOT NULL,
  art text NOT NULL);
)sql";

struct Migration {
    int version;
    const char* sql;
};
constexpr Migration kMigrations[] = {{1, kSchema},       {2, kTokensAndReasons}, {3, kRecentSets},
                                     {4, kPathsAsBytes}, {5, kContentIdentity},  {6, kMediaFacts}};

std::string Now() { return std::to_string(Clock::System().NowSeconds()); }

// Loudness is kept in hundredths of a dB.
std::string Hundredths(double decibels) { return std::to_string(std::llround(decibels * 100)); }
double Decibels(std::int64_t hundredths) { return static_cast<double>(hundredths) / 100; }

// Array literals for unnest(): {1,2} and {"a","b \"c\""}.
template <typename Range, typename Get>
std::string IntArray(const Range& range, Get get) {
    std::string out = "{";
    for (const auto& element : range) {
        if (out.size() > 1) out += ',';
        out += std::to_string(get(element));
    }
    return out + "}";
}

template <typename Range, typename Get>
std::string TextArray(const Range& range, Get get) {
    std::string out = "{";
    for (const auto& element : range) {
        if (out.size() > 1) out += ',';
        out += '"';
        for (char c : get(element)) {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
        out += '"';
    }
    return out + "}";
}

std::string TextArray(const std::vector<ItemRecord>& items, std::string ItemRecord::*field) {
    return TextArray(items, [field](const ItemRecord& item) -> const std::string& { return item.*field; });
}

std::string TextArray(const std::vector<ItemRecord>& items, SharedText ItemRecord::*field) {
    return TextArray(items, [field](const ItemRecord& item) -> const std::string& { return (item.*field).str(); });
}

// Bytes as bytea input (\x2f6d75...).
std::string ByteaText(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "\\x";
    for (const char c : bytes) {
        out += kHex[static_cast<unsigned char>(c) >> 4];
        out += kHex[static_cast<unsigned char>(c) & 0xF];
    }
    return out;
}

// A path as bytea input: kept as the bytes the file system gave it, whatever
// their encoding.
template <typename Record>
std::string PathBytes(const Record& record) {
    return ByteaText(record.path);
}

// Content keys as a bigint[] literal, NULL for none.
template <typename Range, typename Get>
std::string KeyArray(const Range& range, Get get) {
    std::string out = "{";
    for (const auto& element : range) {
        if (out.size() > 1) out += ',';
        const std::uint64_t key = get(element);
        out += key == 0 ? std::string("NULL") : std::to_string(StoredKey(key));
    }
    return out + "}";
}

// The bytes of a path the server sent as encode(path, 'hex').
std::string FromHex(const std::string& hex) {
    const auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    std::string bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t at = 0; at + 1 < hex.size(); at += 2) {
        bytes += static_cast<char>(nibble(hex[at]) << 4 | nibble(hex[at + 1]));
    }
    return bytes;
}

// The deadline of a round trip for several calls: the first of theirs, each
// counted from when the call came, so that one queued behind a round trip
// that took long does not get a whole budget more.
template <typename Call>
Deadline Earliest(const std::vector<Call*>& calls) {
    Deadline first = Deadline::max();
    for (const Call* call : calls) {
        first = std::min(first, call->deadline);
    }
    return first;
}

// Sends the calls of one round trip (GroupedCalls) with `write`, which
// reports whether a failure was the statement's own (the connection held).
// When a statement for several calls fails so, each goes again alone, so
// that a failure fails only the calls it concerns, as it would have without
// company; a lost server fails them all, as it would each.
template <typename Call, typename Write>
void SendGrouped(const std::vector<Call*>& calls, Write write) {
    bool statementFailed = false;
    const bool ok = write(calls, calls.size() > 1 ? &statementFailed : nullptr);
    for (Call* call : calls) {
        call->ok = ok || (statementFailed && write(std::vector<Call*>{call}, nullptr));
    }
}

}  // namespace

PostgresStore::PostgresStore(const std::string& connection)
    : pool_(std::make_unique<PgConnectionPool>(connection, kConnections)),
      loads_(kRoundTripsInFlight, kMostGrouped),
      appends_(kRoundTripsInFlight, kMostGrouped) {}

std::unique_ptr<PostgresStore> PostgresStore::Open(const std::string& connection, std::string& error) {
    std::unique_ptr<PostgresStore> store(new PostgresStore(connection));
    std::string why;
    auto lease = store->pool_->Acquire(std::chrono::steady_clock::now() + kRequestBudget, why);
    if (!lease) {
        error = "cannot connect to the PostgreSQL database: " + why;
        return nullptr;
    }
    lease = PgConnectionPool::Lease();
    if (!store->Migrate(error)) {
        return nullptr;
    }
    return store;
}

void PostgresStore::Close() { pool_.reset(); }

bool PostgresStore::Answers(std::string& why) {
    if (!pool_) {
        why = "the store is closed";
        return false;
    }
    const Deadline deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    PgConnectionPool::Lease lease = pool_->Acquire(deadline, why);
    if (!lease) {
        return false;
    }
    const PgResult result = lease->Exec("SELECT 1", deadline);
    if (!result.Ok()) {
        why = "the database does not answer: " + result.Error();
        return false;
    }
    return true;
}

StationStore::PoolUse PostgresStore::Pool() const { if (!pool_) {
        return {};
    }
    const PgConnectionPool::Use use = pool_->Current();
    return {use.size, use.inUse, use.waits}; }

bool PostgresStore::WithConnection(const char* what, std::chrono::milliseconds budget, const Work& work) {
    return WithConnection(what, std::chrono::steady_clock::now() + budget, work);
}

bool PostgresStore::WithConnection(const char* what, Deadline deadline, const Work& work) {
    if (!pool_) {
        return false;
    }
    std::string error;
    for (int attempt = 0; attempt < 2; ++attempt) {
        PgConnectionPool::Lease lease = pool_->Acquire(deadline, error);
        if (!lease) {
            break;
        }
        error.clear();
        if (work(*lease.operator->(), deadline, error)) {
            return true;
        }
        if (lease->Connected() || std::chrono::steady_clock::now() >= deadline) {
            break;
        }
    }
    STATION_LOG(LogLevel::Warning) << "PostgresStore : cannot " << what << " : " << error;
    return false;
}

bool PostgresStore::InTransaction(const char* what, const Work& work) {
    return WithConnection(what, kBulkBudget, [&](PgConnection& connection, Deadline deadline, std::string& error) {
        const PgResult begin = connection.Exec(
            "BEGIN; SET LOCAL statement_timeout = " + std::to_string(kBulkBudget.count()), deadline);
        if (!begin.Ok()) {
            error = begin.Error();
            return false;
        }
        if (work(connection, deadline, error)) {
            const PgResult commit = connection.Exec("COMMIT", deadline);
            if (commit.Ok()) {
                return true;
            }
            error = commit.Error();
        }
        if (connection.Connected()) {
            connection.Exec("ROLLBACK", deadline);
        }
        return false;
    });
}

// Version 0 is an empty database; every step newer than the database runs in
// order and records its version, in one transaction. Every station takes the same lock first, so
// two starting at once do not both create the tables.
bool PostgresStore::Migrate(std::string& error) {
    bool newer = false;
    const bool ok = InTransaction("create the schema", [&](PgConnection& connection, Deadline deadline,
                                                            std::string& why) {
        const PgResult version = connection.Exec(
            std::string(kSchemaLock) + "; CREATE TABLE IF NOT EXISTS schema_version(version integer NOT NULL);"
                                       "SELECT coalesce(max(version), 0) FROM schema_version",
            deadline);
        if (!version.Ok()) {
            why = version.Error();
            return false;
        }
        const std::int64_t found = version.Int(0, 0);
        if (found > kStoreSchemaVersion) {
            newer = true;
            why = "the database has schema version " + std::to_string(found) + ", newer than this station knows (" +
                  std::to_string(kStoreSchemaVersion) + "); run a newer vorn-station";
            return false;
        }
        if (found == kStoreSchemaVersion) {
            return true;
        }
        std::string steps;
        for (const Migration& migration : kMigrations) {
            if (migration.version > found) {
                steps += std::string(migration.sql) + "INSERT INTO schema_version(version) VALUES(" +
                         std::to_string(migration.version) + ");";
            }
        }
        const PgResult made = connection.Exec(steps, deadline);
        why = made.Error();
        return made.Ok();
    });
    if (!ok) {
        error = newer ? "the database has a newer schema than this station knows (version " +
                            std::to_string(kStoreSchemaVersion) + "); run a newer vorn-station"
                      : "cannot create the schema in the PostgreSQL database (see the log)";
    }
    return ok;
}

std::int32_t PostgresStore::NewListener() {
    std::int32_t id = 0;
    WithConnection("register a listener", kRequestBudget, [&](PgConnection& connection, Deadline deadline,
                                                               std::string& error) {
        // An id adopted from a client may lie ahead of the sequence: skip it.
        for (int attempt = 0; attempt < kIdAttempts; ++attempt) {
            const PgResult added = connection.Run(
                "INSERT INTO listeners(id, created) VALUES(nextval('listener_ids'), $1) "
                "ON CONFLICT (id) DO NOTHING RETURNING id",
                {Now()}, deadline);
            if (!added.Ok()) {
                error = added.Error();
                return false;
            }
            if (added.Rows() == 1) {
                id = static_cast<std::int32_t>(added.Int(0, 0));
                return id > 0;
            }
        }
        error = "no free listener id after " + std::to_string(kIdAttempts) + " tries";
        return false;
    });
    return id;
}

bool PostgresStore::EnsureListener(std::int32_t id) {
    return id > 0 &&
           WithConnection("record a listener", kRequestBudget, [&](PgConnection& connection, Deadline deadline,
                                                                   std::string& error) {
               const PgResult added = connection.Run(
                   "INSERT INTO listeners(id, created) VALUES($1, $2) ON CONFLICT (id) DO NOTHING",
                   {std::to_string(id), Now()}, deadline);
               error = added.Error();
               return added.Ok();
           });
}

std::vector<std::int32_t> PostgresStore::Listeners() {
    std::vector<std::int32_t> ids;
    InTransaction("load the listeners", [&](PgConnection& connection, Deadline deadline, std::string& error) {
        const PgResult rows = connection.Run("SELECT id FROM listeners ORDER BY id", {}, deadline);
        for (int row = 0; row < rows.Rows(); ++row) {
            ids.push_back(static_cast<std::int32_t>(rows.Int(row, 0)));
        }
        error = rows.Error();
        return rows.Ok();
    });
    return ids;
}

bool PostgresStore::StoreRatings(std::int32_t listener,
                                 const std::vector<std::pair<std::int32_t, std::int32_t>>& ratings) {
    return WithConnection("store ratings", kRequestBudget, [&](PgConnection& connection, Deadline deadline,
                                                               std::string& error) {
        const PgResult stored = connection.Run(
            "INSERT INTO ratings(listener, item, value, updated) "
            "SELECT $1, r.item, r.value, $4 FROM unnest($2::integer[], $3::integer[]) AS r(item, value) "
            "ON CONFLICT (listener, item) DO UPDATE SET value = excluded.value, updated = excluded.updated",
            {std::to_string(listener), IntArray(ratings, [](const auto& r) { return r.first; }),
             IntArray(ratings, [](const auto& r) { return r.second; }), Now()},
            deadline);
        error = stored.Error();
        return stored.Ok();
    });
}

std::vector<RatingRecord> PostgresStore::LoadRatings() {
    std::vector<RatingRecord> ratings;
    InTransaction("load the ratings", [&](PgConnection& connection, Deadline deadline, std::string& error) {
        const PgResult rows =
            connection.Run("SELECT listener, item, value FROM ratings ORDER BY listener, item", {}, deadline);
        ratings.reserve(static_cast<std::size_t>(rows.Rows()));
        for (int row = 0; row < rows.Rows(); ++row) {
            ratings.push_back({static_cast<std::int32_t>(rows.Int(row, 0)), static_cast<std::int32_t>(rows.Int(row, 1)),
                               static_cast<std::int32_t>(rows.Int(row, 2))});
        }
        error = rows.Error();
        return rows.Ok();
    });
    return ratings;
}

bool PostgresStore::SyncItems(std::vector<ItemRecord>& found) { return WriteItems(found, nullptr); }

bool PostgresStore::UpdateItems(std::vector<ItemRecord>& changed, const std::vector<std::int32_t>& gone) {
    return (changed.empty() && gone.empty()) || WriteItems(changed, &gone);
}

bool PostgresStore::WriteItems(std::vector<ItemRecord>& found, const std::vector<std::int32_t>* gone) {
    // One row per item (by id, content key or path as it will be known);
    // text columns hold UTF-8 only.
    std::vector<ItemRecord> rows;
    std::unordered_map<std::string, std::size_t> rowOf;  // identity → index into rows
    std::vector<std::size_t> rowOfFound;
    for (const ItemRecord& item : found) {
        const std::string identity = item.id != 0        ? "i" + std::to_string(item.id)
                                     : item.content != 0 ? "c" + std::to_string(item.content)
                                                         : "p" + item.path;
        const auto [at, added] = rowOf.emplace(identity, rows.size());
        rowOfFound.push_back(at->second);
        if (added) {
            ItemRecord row = item;
            row.artist = AsUtf8(row.artist);
            row.title = AsUtf8(row.title);
            row.album = AsUtf8(row.album);
            row.genre = AsUtf8(row.genre);
            rows.push_back(std::move(row));
        }
    }
    using Parameters = std::vector<std::optional<std::string>>;
    const auto fields = [](const std::vector<ItemRecord>& items) -> Parameters {
        return {TextArray(items, PathBytes<ItemRecord>),
                TextArray(items, &ItemRecord::artist),
                TextArray(items, &ItemRecord::title),
                TextArray(items, &ItemRecord::album),
                TextArray(items, &ItemRecord::genre),
                IntArray(items, [](const ItemRecord& r) { return r.lengthSeconds; }),
                IntArray(items, [](const ItemRecord& r) { return r.fileSize; }),
                IntArray(items, [](const ItemRecord& r) { return r.modified; }),
                TextArray(items, &ItemRecord::format),
                IntArray(items, [](const ItemRecord& r) { return r.bitrate; }),
                IntArray(items, [](const ItemRecord& r) { return static_cast<std::int64_t>(r.printHash); }),
                KeyArray(items, [](const ItemRecord& r) { return r.content; }),
                IntArray(items, [](const ItemRecord& r) { return r.id; })};
    };
    const std::string unnested =
        " FROM unnest($1::bytea[], $2::text[], $3::text[], $4::text[], $5::text[], $6::integer[], $7::bigint[], "
        "$8::bigint[], $9::text[], $10::integer[], $11::bigint[], $12::bigint[], $13::integer[]) WITH ORDINALITY "
        "AS u(path, artist, title, album, genre, length, size, modified, format, bitrate, print_hash, content, id, "
        "position)";
    const std::string values =
        "u.path, u.artist, u.title, u.album, u.genre, u.length, u.size, u.modified, u.format, u.bitrate, u.print_hash";
    const std::string columns = "path, artist, title, album, genre, length, size, modified, format, bitrate, print_hash";
    const bool ok = InTransaction("store the scan", [&](PgConnection& connection, Deadline deadline,
                                                        std::string& error) {
        const auto step = [&](const std::string& statement, const Parameters& parameters) {
            PgResult result = connection.Run(statement, parameters, deadline);
            error = result.Error();
            return result;
        };
        Parameters parameters = fields(rows);
        // New recordings, and new paths among the items known by their path;
        // in the order found, so that ids follow it.
        if (!step(kScanLock, {}).Ok() ||
            !step("INSERT INTO items(" + columns + ", content, present) SELECT " + values + ", u.content, true" +
                      unnested + " WHERE u.id = 0 AND u.content IS NOT NULL ORDER BY u.position "
                                 "ON CONFLICT (content) DO NOTHING",
                  parameters)
                 .Ok() ||
            !step("INSERT INTO items(" + columns + ", present) SELECT " + values + ", true" + unnested +
                      " WHERE u.id = 0 AND u.content IS NULL AND NOT EXISTS "
                      "(SELECT 1 FROM items i WHERE i.path = u.path AND i.content IS NULL) ORDER BY u.position",
                  parameters)
                 .Ok()) {
            return false;
        }
        const PgResult ids = step(
            "SELECT u.position, coalesce(nullif(u.id, 0), (SELECT i.id FROM items i WHERE i.content = u.content), "
            "(SELECT min(i.id) FROM items i WHERE i.path = u.path AND i.content IS NULL))" +
                unnested + " ORDER BY u.position",
            parameters);
        if (!ids.Ok() || ids.Rows() != static_cast<int>(rows.size())) {
            return false;
        }
        for (int row = 0; row < ids.Rows(); ++row) {
            rows[static_cast<std::size_t>(ids.Int(row, 0) - 1)].id = static_cast<std::int32_t>(ids.Int(row, 1));
        }
        // A content key goes to an item without one only while no other item has it.
        parameters = fields(rows);
        if (!step("UPDATE items i SET path = u.path, artist = u.artist, title = u.title, album = u.album, "
                  "genre = u.genre, length = u.length, size = u.size, modified = u.modified, format = u.format, "
                  "bitrate = u.bitrate, print_hash = u.print_hash, present = true, content = coalesce(i.content, "
                  "(SELECT u.content WHERE NOT EXISTS (SELECT 1 FROM items o WHERE o.content = u.content)))" +
                      unnested + " WHERE i.id = u.id",
                  parameters)
                 .Ok()) {
            return false;
        }
        if (gone != nullptr) {
            return step("UPDATE items SET present = false WHERE id = ANY($1::integer[])",
                        {IntArray(*gone, [](std::int32_t id) { return id; })})
                .Ok();
        }
        return step("UPDATE items SET present = false WHERE present AND NOT (id = ANY($1::integer[]))",
                    {parameters.back()})
            .Ok();
    });
    if (!ok) {
        return false;
    }
    for (std::size_t at = 0; at < found.size(); ++at) {
        found[at].id = rows[rowOfFound[at]].id;
        found[at].present = true;
    }
    return true;
}

bool PostgresStore::MarkMissing(std::int32_t id) {
    return WithConnection("mark an item missing", kRequestBudget, [&](PgConnection& connection, Deadline deadline,
                                                                      std::string& error) {
        const PgResult updated =
            connection.Run("UPDATE items SET present = false WHERE id = $1", {std::to_string(id)}, deadline);
        error = updated.Error();
        return updated.Ok();
    });
}

std::vector<ItemRecord> PostgresStore::LoadItems() {
    std::vector<ItemRecord> items;
    InTransaction("load the items", [&](PgConnection& connection, Deadline deadline, std::string& error) {
        const PgResult rows = connection.Run(
            "SELECT id, encode(path, 'hex'), artist, title, album, genre, length, size, modified, present, format, "
            "bitrate, content, print_hash FROM items ORDER BY id",
            {},
            deadline);
        items.reserve(static_cast<std::size_t>(rows.Rows()));
        for (int row = 0; row < rows.Rows(); ++row) {
            ItemRecord item;
            item.id = static_cast<std::int32_t>(rows.Int(row, 0));
            item.path = FromHex(rows.Text(row, 1));
            item.artist = rows.Text(row, 2);
            item.title = rows.Text(row, 3);
            item.album = rows.Text(row, 4);
            item.genre = rows.Text(row, 5);
            item.lengthSeconds = static_cast<std::int32_t>(rows.Int(row, 6));
            item.fileSize = rows.Int(row, 7);
            item.modified = rows.Int(row, 8);
            item.present = rows.Text(row, 9) == "t";
            item.format = rows.Text(row, 10);
            item.bitrate = static_cast<std::int32_t>(rows.Int(row, 11));
            item.content = rows.IsNull(row, 12) ? 0 : KeyFromStored(rows.Int(row, 12));
            item.printHash = static_cast<std::uint32_t>(rows.Int(row, 13));
            items.push_back(std::move(item));
        }
        error = rows.Error();
        return rows.Ok();
    });
    return items;
}

bool PostgresStore::UpdateFiles(const std::vector<FileRecord>& changed, const std::vector<std::string>& removed) {
    if (changed.empty() && removed.empty()) {
        return true;
    }
    // One row per path, the last one given: one statement may not change a row twice.
    std::vector<const FileRecord*> rows;
    std::unordered_map<std::string_view, std::size_t> rowOf;
    for (const FileRecord& file : changed) {
        const auto [at, added] = rowOf.emplace(file.path, rows.size());
        if (added) {
            rows.push_back(&file);
        } else {
            rows[at->second] = &file;
        }
    }
    const auto of = [](auto get) { return [get](const FileRecord* file) { return get(*file); }; };
    return InTransaction("store the files", [&](PgConnection& connection, Deadline deadline, std::string& error) {
        for (const auto& [statement, parameters] : std::vector<std::pair<std::string, std::vector<std::optional<std::string>>>>{
                 {kScanLock, {}},
                 {"DELETE FROM files WHERE path = ANY($1::bytea[])",
                  {TextArray(removed, [](const std::string& path) { return ByteaText(path); })}},
                 {"INSERT INTO files(path, size, modified, skipped, item, format, bitrate, content) SELECT * FROM "
                  "unnest($1::bytea[], $2::bigint[], $3::bigint[], $4::integer[], $5::integer[], $6::text[], "
                  "$7::integer[], $8::bigint[]) ON CONFLICT (path) DO UPDATE SET size = excluded.size, "
                  "modified = excluded.modified, skipped = excluded.skipped, item = excluded.item, "
                  "format = excluded.format, bitrate = excluded.bitrate, content = excluded.content",
                  {TextArray(rows, of([](const FileRecord& f) { return ByteaText(f.path); })),
                   IntArray(rows, of([](const FileRecord& f) { return f.fileSize; })),
                   IntArray(rows, of([](const FileRecord& f) { return f.modified; })),
                   IntArray(rows, of([](const FileRecord& f) { return static_cast<std::int32_t>(f.skipped); })),
                   IntArray(rows, of([](const FileRecord& f) { return f.item; })),
                   TextArray(rows, of([](const FileRecord& f) { return AsUtf8(f.format); })),
                   IntArray(rows, of([](const FileRecord& f) { return f.bitrate; })),
                   KeyArray(rows, [](const FileRecord* f) { return f->content; })}}}) {
            const PgResult step = connection.Run(statement, parameters, deadline);
            if (!step.Ok()) {
                error = step.Error();
                return false;
            }
        }
        return true;
    });
}

std::vector<FileRecord> PostgresStore::LoadFiles() {
    std::vector<FileRecord> files;
    InTransaction("load the files", [&](PgConnection& connection, Deadline deadline, std::string& error) {
        const PgResult rows = connection.Run(
            "SELECT encode(path, 'hex'), size, modified, skipped, item, format, bitrate, content FROM files "
            "ORDER BY path",
            {}, deadline);
        files.reserve(static_cast<std::size_t>(rows.Rows()));
        for (int row = 0; row < rows.Rows(); ++row) {
            FileRecord file;
            file.path = FromHex(rows.Text(row, 0));
            file.fileSize = rows.Int(row, 1);
            file.modified = rows.Int(row, 2);
            const std::int64_t skipped = rows.Int(row, 3);
            file.skipped = skipped >= 0 && skipped <= static_cast<std::int64_t>(SkipReason::NoDecoder)
                               ? static_cast<SkipReason>(skipped)
                               : SkipReason::Unreadable;
            file.item = static_cast<std::int32_t>(rows.Int(row, 4));
            file.format = rows.Text(row, 5);
            file.bitrate = static_cast<std::int32_t>(rows.Int(row, 6));
            file.content = rows.IsNull(row, 7) ? 0 : KeyFromStored(rows.Int(row, 7));
            files.push_back(std::move(file));
        }
        error = rows.Error();
        return rows.Ok();
    });
    return files;
}

bool PostgresStore::StorePrints(const std::vector<SoundPrint>& prints) {
    if (prints.empty()) {
        return true;
    }
    return InTransaction("store sound prints", [&](PgConnection& connection, Deadline deadline, std::string& error) {
        const PgResult stored = connection.Run(
            "INSERT INTO prints(content, print) SELECT * FROM unnest($1::bigint[], $2::bytea[]) "
            "ON CONFLICT (content) DO UPDATE SET print = excluded.print",
            {IntArray(prints, [](const SoundPrint& p) { return StoredKey(p.content); }),
             TextArray(prints, [](const SoundPrint& p) { return ByteaText(PrintBytes(p.print)); })},
            deadline);
        error = stored.Error();
        return stored.Ok();
    });
}

bool PostgresStore::LoadPrints(const std::vector<std::uint64_t>& contents, std::vector<SoundPrint>& out) {
    out.clear();
    return WithConnection("load sound prints", kRequestBudget, [&](PgConnection& connection, Deadline deadline,
                                                                   std::string& error) {
        out.clear();
        const PgResult rows =
            connection.Run("SELECT content, encode(print, 'hex') FROM prints WHERE content = ANY($1::bigint[])",
                           {IntArray(contents, [](std::uint64_t content) { return StoredKey(content); })}, deadline);
        for (int row = 0; row < rows.Rows(); ++row) {
            out.push_back({KeyFromStored(rows.Int(row, 0)), PrintFromBytes(FromHex(rows.Text(row, 1)))});
        }
        error = rows.Error();
        return rows.Ok();
    });
}

bool PostgresStore::AppendRecent(const std::vector<RecentRecord>& records) {
    if (records.empty()) {
        return true;
    }
    RecentAppend call{&records, std::chrono::steady_clock::now() + kRequestBudget};
    appends_.Run(call, [this](std::vector<RecentAppend*>& calls) {
        SendGrouped(calls, [this](const std::vector<RecentAppend*>& some, bool* statementFailed) {
            return WriteRecent(some, statementFailed);
        });
    });
    return call.ok;
}

// Each call's records are answers one after another: each run of one
// listener's records in a call is a set, numbered here and gathered by the
// statement, so that two answers to one listener in a round trip stay two.
bool PostgresStore::WriteRecent(const std::vector<RecentAppend*>& calls, bool* statementFailed) {
    std::vector<RecentRecord> records;
    std::vector<std::int32_t> sets;
    std::int32_t set = -1;
    for (const RecentAppend* call : calls) {
        const std::vector<RecentRecord>& mine = *call->records;
        for (std::size_t at = 0; at < mine.size(); ++at) {
            set += at == 0 || mine[at].listener != mine[at - 1].listener ? 1 : 0;
            sets.push_back(set);
            records.push_back(mine[at]);
        }
    }
    return WithConnection("store recent recommendations", Earliest(calls),
                          [&](PgConnection& connection, Deadline deadline, std::string& error) {
                              const PgResult added = connection.Run(
                                  "INSERT INTO recent_sets(listener, items, whys) "
                                  "SELECT min(r.l), array_agg(r.i ORDER BY r.n), array_agg(r.w ORDER BY r.n) "
                                  "FROM unnest($1::integer[], $2::integer[], $3::text[], $4::integer[]) "
                                  "WITH ORDINALITY AS r(l, i, w, s, n) GROUP BY r.s ORDER BY r.s",
                                  {IntArray(records, [](const RecentRecord& r) { return r.listener; }),
                                   IntArray(records, [](const RecentRecord& r) { return r.item; }),
                                   TextArray(records, [](const RecentRecord& r) { return AsUtf8(r.why); }),
                                   IntArray(sets, [](std::int32_t each) { return each; })},
                                  deadline);
                              error = added.Error();
                              if (statementFailed != nullptr) {
                                  *statementFailed = !added.Ok() && connection.Connected();
                              }
                              return added.Ok();
                          });
}

std::vector<RecentRecord> PostgresStore::LoadRecent(int perListener) {
    std::vector<RecentRecord> records;
    InTransaction("load recent recommendations", [&](PgConnection& connection, Deadline deadline, std::string& error) {
        const PgResult rows = connection.Run(
            "SELECT listener, item FROM (SELECT s.listener, u.item, s.seq, u.n, row_number() OVER "
            "(PARTITION BY s.listener ORDER BY s.seq DESC, u.n DESC) AS age "
            "FROM recent_sets s, unnest(s.items) WITH ORDINALITY AS u(item, n)) r "
            "WHERE age <= $1 ORDER BY seq, n",
            {std::to_string(perListener)}, deadline);
        for (int row = 0; row < rows.Rows(); ++row) {
            records.push_back({static_cast<std::int32_t>(rows.Int(row, 0)), static_cast<std::int32_t>(rows.Int(row, 1))});
        }
        error = rows.Error();
        return rows.Ok();
    });
    return records;
}

bool PostgresStore::PruneRecent(int perListener) {
    // Sets wholly older than the listener's last `perListener` items.
    return InTransaction("prune recent recommendations", [&](PgConnection& connection, Deadline deadline,
                                                             std::string& error) {
        const PgResult pruned = connection.Run(
            "DELETE FROM recent_sets WHERE seq IN (SELECT seq FROM (SELECT seq, sum(cardinality(items)) OVER "
            "(PARTITION BY listener ORDER BY seq DESC) - cardinality(items) AS newer FROM recent_sets) r "
            "WHERE newer >= $1)",
            {std::to_string(perListener)}, deadline);
        error = pruned.Error();
        return pruned.Ok();
    });
}

bool PostgresStore::LoadListener(std::int32_t listener, int recentCount, ListenerRecords& out) {
    ListenerLoad call{listener, std::max(recentCount, 0), &out, std::chrono::steady_clock::now() + kRequestBudget};
    loads_.Run(call, [this](std::vector<ListenerLoad*>& calls) {
        SendGrouped(calls, [this](const std::vector<ListenerLoad*>& some, bool* statementFailed) {
            return ReadListeners(some, statementFailed);
        });
    });
    if (!call.ok) {
        out = ListenerRecords();
    }
    return call.ok;
}

// One round trip for all the calls' listeners: kind 0 rows are ratings, kind
// 1 recent items of the newest sets that can hold the items asked for.
bool PostgresStore::ReadListeners(const std::vector<ListenerLoad*>& calls, bool* statementFailed) {
    std::unordered_map<std::int32_t, int> wanted;  // listener → most recent items any call asks for
    for (const ListenerLoad* call : calls) {
        int& most = wanted[call->listener];
        most = std::max(most, call->recentCount);
    }
    struct Found {
        ListenerRecords records;
        std::vector<std::tuple<std::int64_t, std::int64_t, std::int32_t>> recent;  // set, place in it, item
    };
    std::unordered_map<std::int32_t, Found> found;
    const bool ok = WithConnection("load a listener's ratings", Earliest(calls), [&](PgConnection& connection,
                                                                                     Deadline deadline,
                                                                                     std::string& error) {
        found.clear();
        const PgResult rows = connection.Run(
            "SELECT 0, listener, item, value, 0, 0 FROM ratings WHERE listener = ANY($1::integer[]) UNION ALL "
            "SELECT 1, l.id, u.item, 0, r.seq, u.n FROM unnest($1::integer[], $2::integer[]) AS l(id, most), "
            "LATERAL (SELECT seq, items FROM recent_sets WHERE listener = l.id ORDER BY seq DESC LIMIT l.most) r, "
            "unnest(r.items) WITH ORDINALITY AS u(item, n)",
            {IntArray(wanted, [](const auto& entry) { return entry.first; }),
             IntArray(wanted, [](const auto& entry) { return entry.second; })},
            deadline);
        for (int row = 0; row < rows.Rows(); ++row) {
            Found& mine = found[static_cast<std::int32_t>(rows.Int(row, 1))];
            const auto item = static_cast<std::int32_t>(rows.Int(row, 2));
            if (rows.Int(row, 0) == 0) {
                mine.records.ratings.emplace_back(item, static_cast<std::int32_t>(rows.Int(row, 3)));
            } else {
                mine.recent.emplace_back(rows.Int(row, 4), rows.Int(row, 5), item);
            }
        }
        error = rows.Error();
        if (statementFailed != nullptr) {
            *statementFailed = !rows.Ok() && connection.Connected();
        }
        return rows.Ok();
    });
    if (!ok) {
        return false;
    }
    for (ListenerLoad* call : calls) {
        Found& mine = found[call->listener];
        std::sort(mine.recent.begin(), mine.recent.end());
        ListenerRecords& out = *call->out;
        out.ratings = mine.records.ratings;
        out.recent.clear();
        const std::size_t keep = std::min(mine.recent.size(), static_cast<std::size_t>(call->recentCount));
        for (auto entry = mine.recent.end() - static_cast<std::ptrdiff_t>(keep); entry != mine.recent.end(); ++entry) {
            out.recent.push_back(std::get<2>(*entry));
        }
    }
    return true;
}

PostgresStore::Grouping PostgresStore::Grouped() { return {loads_.Current(), appends_.Current()}; }

std::string PostgresStore::TokenOf(std::int32_t listener) {
    std::string token;
    WithConnection("find a page token", kRequestBudget, [&](PgConnection& connection, Deadline deadline,
                                                            std::string& error) {
        const auto stored = [&] {
            const PgResult row = connection.Run("SELECT token FROM listener_tokens WHERE listener = $1",
                                                {std::to_string(listener)}, deadline);
            error = row.Error();
            token = row.Ok() && row.Rows() == 1 ? row.Text(0, 0) : std::string();
            return row.Ok();
        };
        if (!stored() || !token.empty()) {
            return error.empty();
        }
        const std::string fresh = ListenerToken::Generate();
        if (fresh.empty()) {
            error = "no random source for a page token";
            return false;
        }
        // Another station may make one at the same time: the first one stays.
        const PgResult made = connection.Run(
            "INSERT INTO listener_tokens(listener, token, lookup) "
            "SELECT $1::integer, $2, $3 WHERE EXISTS (SELECT 1 FROM listeners WHERE id = $1::integer) "
            "ON CONFLICT (listener) DO NOTHING",
            {std::to_string(listener), fresh, ListenerToken::LookupKey(fresh)}, deadline);
        if (!made.Ok()) {
            error = made.Error();
            return false;
        }
        return stored();
    });
    return token;
}

std::int32_t PostgresStore::ListenerOfToken(const std::string& token) {
    const std::string key = ListenerToken::LookupKey(token);
    std::int32_t listener = 0;
    WithConnection("look up a page token", kRequestBudget, [&](PgConnection& connection, Deadline deadline,
                                                               std::string& error) {
        const PgResult row =
            connection.Run("SELECT listener, token FROM listener_tokens WHERE lookup = $1", {key}, deadline);
        const bool found = row.Ok() && row.Rows() == 1;
        // Compared even when nothing was found, against text of the same length.
        const std::string stored = found ? row.Text(0, 1) : std::string(token.size(), '\0');
        listener = ListenerToken::Equal(stored, token) && found ? static_cast<std::int32_t>(row.Int(0, 0)) : 0;
        error = row.Error();
        return row.Ok();
    });
    return listener;
}

bool PostgresStore::LoadRatingHistory(std::int32_t listener, std::vector<RatedItem>& out) {
    out.clear();
    return WithConnection("load a listener's rating history", kRequestBudget,
                          [&](PgConnection& connection, Deadline deadline, std::string& error) {
                              out.clear();
                              const PgResult rows = connection.Run(
                                  "SELECT item, value, updated FROM ratings WHERE listener = $1 "
                                  "ORDER BY updated DESC, item DESC",
                                  {std::to_string(listener)}, deadline);
                              for (int row = 0; row < rows.Rows(); ++row) {
                                  out.push_back({static_cast<std::int32_t>(rows.Int(row, 0)),
                                                 static_cast<std::int32_t>(rows.Int(row, 1)), rows.Int(row, 2)});
                              }
                              error = rows.Error();
                              return rows.Ok();
                          });
}

std::string PostgresStore::WhyRecommended(std::int32_t listener, std::int32_t item) {
    std::string why;
    WithConnection("read why an item was recommended", kRequestBudget,
                   [&](PgConnection& connection, Deadline deadline, std::string& error) {
                       const PgResult row = connection.Run(
                           "SELECT u.why FROM recent_sets s, unnest(s.items, s.whys) WITH ORDINALITY AS u(item, why, n) "
                           "WHERE s.listener = $1 AND u.item = $2 ORDER BY s.seq DESC, u.n DESC LIMIT 1",
                           {std::to_string(listener), std::to_string(item)}, deadline);
                       why = row.Ok() && row.Rows() == 1 ? row.Text(0, 0) : std::string();
                       error = row.Error();
                       return row.Ok();
                   });
    return why;
}

bool PostgresStore::StoreMediaFacts(const MediaFactsRecord& facts) {
    return WithConnection("store what was learnt from a file", kRequestBudget,
                          [&](PgConnection& connection, Deadline deadline, std::string& error) {
                              const PgResult stored = connection.Run(
                                  "INSERT INTO media_facts(item, size, modified, loudness_from, integrated, "
                                  "true_peak, art) VALUES($1, $2, $3, $4, $5, $6, $7) ON CONFLICT (item) DO UPDATE "
                                  "SET size = excluded.size, modified = excluded.modified, "
                                  "loudness_from = excluded.loudness_from, integrated = excluded.integrated, "
                                  "true_peak = excluded.true_peak, art = excluded.art",
                                  {std::to_string(facts.item), std::to_string(facts.fileSize),
                                   std::to_string(facts.modified),
                                   std::to_string(static_cast<int>(facts.loudnessFrom)),
                                   Hundredths(facts.integratedLufs), Hundredths(facts.truePeakDbtp), facts.art},
                                  deadline);
                              error = stored.Error();
                              return stored.Ok();
                          });
}

std::vector<MediaFactsRecord> PostgresStore::LoadMediaFacts() {
    std::vector<MediaFactsRecord> all;
    InTransaction("load what was learnt from the files", [&](PgConnection& connection, Deadline deadline,
                                                             std::string& error) {
        const PgResult rows = connection.Run(
            "SELECT item, size, modified, loudness_from, integrated, true_peak, art FROM media_facts ORDER BY item",
            {}, deadline);
        all.reserve(static_cast<std::size_t>(rows.Rows()));
        for (int row = 0; row < rows.Rows(); ++row) {
            MediaFactsRecord facts;
            facts.item = static_cast<std::int32_t>(rows.Int(row, 0));
            facts.fileSize = rows.Int(row, 1);
            facts.modified = rows.Int(row, 2);
            facts.loudnessFrom = LoudnessSourceOf(rows.Int(row, 3));
            facts.integratedLufs = Decibels(rows.Int(row, 4));
            facts.truePeakDbtp = Decibels(rows.Int(row, 5));
            facts.art = rows.Text(row, 6);
            all.push_back(std::move(facts));
        }
        error = rows.Error();
        return rows.Ok();
    });
    return all;
}

}  // namespace vorn::station
