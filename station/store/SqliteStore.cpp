#include "station/store/SqliteStore.h"

#include <algorithm>
#include <cmath>
#include <functional>

#include "platform/Clock.h"
#include "station/store/ListenerToken.h"
#include "station/store/RecentSet.h"
#include "station/store/StoredValues.h"
#include "station/base/StationLog.h"

namespace vorn::station {
namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS listeners(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  created INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS items(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  path TEXT NOT NULL UNIQUE,
  artist TEXT NOT NULL, title TEXT NOT NULL, album TEXT NOT NULL, genre TEXT NOT NULL,
  length INTEGER NOT NULL, size INTEGER NOT NULL, modified INTEGER NOT NULL,
  present INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS ratings(
  listener INTEGER NOT NULL REFERENCES listeners(id),
  item INTEGER NOT NULL REFERENCES items(id),
  value INTEGER NOT NULL,
  updated INTEGER NOT NULL,
  PRIMARY KEY(listener, item)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS recent(
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  listener INTEGER NOT NULL,
  item INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS recent_by_listener ON recent(listener, seq);
)sql";

// Version 2: page tokens, found by the SHA-256 of the token (ListenerToken),
// and the reason told with each recent recommendation.
constexpr const char* kTokensAndReasons = R"sql(
CREATE TABLE IF NOT EXISTS listener_tokens(
  listener INTEGER PRIMARY KEY REFERENCES listeners(id),
  token TEXT NOT NULL,
  lookup TEXT NOT NULL UNIQUE);
ALTER TABLE recent ADD COLUMN why TEXT NOT NULL DEFAULT '';
)sql";

// Version 3: the recent memory keeps one row per answer (RecentSet), its rows
// so far becoming sets of one item each.
constexpr const char* kRecentSets = R"sql(
CREATE TABLE recent_sets(
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  listener INTEGER NOT NULL,
  count INTEGER NOT NULL,
  items TEXT NOT NULL,
  whys TEXT NOT NULL);
INSERT INTO recent_sets(listener, count, items, whys)
  SELECT listener, 1, CAST(item AS TEXT), length(CAST(why AS BLOB)) || ':' || why FROM recent ORDER BY seq;
DROP TABLE recent;
)sql";

// Version 4 keeps paths as bytes in PostgreSQL; this store always kept the
// bytes it was given, so it only records the version.
constexpr const char* kPathsAsBytes = "";

// Version 5: items are recordings, known by their content key; a path may
// pass from one item to another (a file replaced by another recording), so
// it is no longer unique, and the table is made anew with the same ids and
// the same sequence. Every file's last judgement and the items' sound prints
// get tables of their own. Items of before have no content key until a scan
// finds them again.
constexpr const char* kContentIdentity = R"sql(
CREATE TABLE items_v5(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  path TEXT NOT NULL,
  artist TEXT NOT NULL, title TEXT NOT NULL, album TEXT NOT NULL, genre TEXT NOT NULL,
  length INTEGER NOT NULL, size INTEGER NOT NULL, modified INTEGER NOT NULL,
  present INTEGER NOT NULL,
  format TEXT NOT NULL DEFAULT 'mp3',
  bitrate INTEGER NOT NULL DEFAULT 0,
  content INTEGER UNIQUE,
  print_hash INTEGER NOT NULL DEFAULT 0);
INSERT INTO items_v5(id, path, artist, title, album, genre, length, size, modified, present)
  SELECT id, path, artist, title, album, genre, length, size, modified, present FROM items ORDER BY id;
INSERT INTO sqlite_sequence(name, seq) SELECT 'items_v5', 0 WHERE NOT EXISTS
  (SELECT 1 FROM sqlite_sequence WHERE name = 'items_v5');
UPDATE sqlite_sequence SET seq = (SELECT max(seq) FROM sqlite_sequence WHERE name IN ('items', 'items_v5'))
  WHERE name = 'items_v5';
DROP TABLE items;
ALTER TABLE items_v5 RENAME TO items;
CREATE INDEX items_by_path ON items(path);
CREATE TABLE files(
  path TEXT PRIMARY KEY,
  size INTEGER NOT NULL, modified INTEGER NOT NULL,
  skipped INTEGER NOT NULL, item INTEGER NOT NULL,
  format TEXT NOT NULL, bitrate INTEGER NOT NULL, content INTEGER) WITHOUT ROWID;
CREATE TABLE prints(
  content INTEGER PRIMARY KEY,
  print BLOB NOT NULL);
)sql";

// Version 6: what was learnt from each item's file (MediaFactsRecord), its
// loudness in hundredths of a dB.
constexpr const char* kMediaFacts = R"sql(
CREATE TABLE media_facts(
  item INTEGER PRIMARY KEY REFERENCES items(id),
  size INTEGER NOT NULL, modified INTEGER NOT NULL,
  loudness_from INTEGER NOT NULL, integrated INTEGER NOT NULL, true_peak INTEGER NOT NULL,
  art TEXT NOT NULL);
)sql";

struct Migration {
    int version;
    const char* sql;
};
constexpr Migration kMigrations[] = {{1, kSchema},       {2, kTokensAndReasons}, {3, kRecentSets},
                                     {4, kPathsAsBytes}, {5, kContentIdentity},  {6, kMediaFacts}};

constexpr const char* kItemFields = "path, artist, title, album, genre, length, size, modified, format, bitrate, print_hash";

// Binds the fields of kItemFields from `first` on.
void BindItem(SqliteStatement& statement, const ItemRecord& item, int first) {
    statement.Bind(first, item.path).Bind(first + 1, item.artist).Bind(first + 2, item.title);
    statement.Bind(first + 3, item.album).Bind(first + 4, item.genre).Bind(first + 5, item.lengthSeconds);
    statement.Bind(first + 6, item.fileSize).Bind(first + 7, item.modified).Bind(first + 8, item.format);
    statement.Bind(first + 9, item.bitrate).Bind(first + 10, static_cast<std::int64_t>(item.printHash));
}

void BindKey(SqliteStatement& statement, int index, std::uint64_t key) {
    if (key == 0) {
        statement.BindNull(index);
    } else {
        statement.Bind(index, StoredKey(key));
    }
}

// The id the statement returned in its one row, or 0; finishes it.
std::int64_t ReturnedId(SqliteStatement& statement) {
    const std::int64_t id = statement.Step() ? statement.Int(0) : 0;
    statement.Run();  // finishes the statement after its returned row
    return id;
}

// The sets of a listener's recent memory, newest first, with the number of
// items in newer sets: `newer`.
constexpr const char* kSetsWithNewer =
    "SELECT listener, count, items, whys, seq, "
    "SUM(count) OVER (PARTITION BY listener ORDER BY seq DESC) - count AS newer FROM recent_sets";

// A set whose row is damaged counts as empty.
std::vector<RecentSet::Entry> DecodeSet(const SqliteStatement& row, int countColumn) {
    std::vector<RecentSet::Entry> entries;
    if (!RecentSet::Decode(row.Int(countColumn), row.Text(countColumn + 1), row.Text(countColumn + 2), entries)) {
        STATION_LOG(LogLevel::Warning) << "SqliteStore : a damaged set of recent recommendations is skipped";
    }
    return entries;
}

std::int64_t Now() { return Clock::System().NowSeconds(); }

// Loudness is kept in hundredths of a dB.
std::int64_t Hundredths(double decibels) { return std::llround(decibels * 100); }
double Decibels(std::int64_t hundredths) { return static_cast<double>(hundredths) / 100; }

}  // namespace

SqliteStore::~SqliteStore() { Close(); }

bool SqliteStore::Open(const std::string& path, std::string* error) {
    std::lock_guard lock(mutex_);
    setsOf_.clear();
    setsListed_ = false;
    std::string why = "cannot open the database " + path;
    if (!db_.Open(path)) {
        if (error != nullptr) *error = why;
        return false;
    }
    SqliteStatement mode = db_.Prepare("PRAGMA journal_mode=WAL");
    const bool wal = mode.Step() && mode.Text(0) == "wal";
    mode = SqliteStatement();
    if (!wal) {
        STATION_LOG(LogLevel::Severe) << "SqliteStore : the database " << path
                                      << " cannot use write-ahead logging";
        db_.Close();
        if (error != nullptr) *error = why;
        return false;
    }
    // Version 5 makes the items table anew under the ratings that refer to
    // it, which only works with the references unchecked (they stay valid:
    // every id is kept). The pragma has no effect inside a transaction.
    if (!db_.Exec("PRAGMA synchronous=FULL; PRAGMA foreign_keys=OFF;") || !Migrate(path, why) ||
        !db_.Exec("PRAGMA foreign_keys=ON;")) {
        db_.Close();
        if (error != nullptr) *error = why;
        return false;
    }
    // Some files of schema 3 were given an index of the recent sets by
    // listener; setsOf_ holds what it held, and costs no write.
    if (!db_.Exec("DROP INDEX IF EXISTS recent_sets_by_listener")) {
        db_.Close();
        if (error != nullptr) *error = why;
        return false;
    }
    newListener_ = db_.Prepare("INSERT INTO listeners(created) VALUES(?1)");
    ensureListener_ = db_.Prepare("INSERT OR IGNORE INTO listeners(id, created) VALUES(?1, ?2)");
    upsertRating_ = db_.Prepare(
        "INSERT INTO ratings(listener, item, value, updated) VALUES(?1, ?2, ?3, ?4) "
        "ON CONFLICT(listener, item) DO UPDATE SET value = excluded.value, updated = excluded.updated");
    const std::string set =
        "path = ?1, artist = ?2, title = ?3, album = ?4, genre = ?5, length = ?6, size = ?7, modified = ?8, "
        "format = ?9, bitrate = ?10, print_hash = ?11, present = 1";
    updateItem_ = db_.Prepare(
        "UPDATE items SET " + set +
        ", content = coalesce(content, (SELECT ?12 WHERE NOT EXISTS (SELECT 1 FROM items WHERE content = ?12))) "
        "WHERE id = ?13 RETURNING id");
    upsertItem_ = db_.Prepare(std::string("INSERT INTO items(") + kItemFields +
                              ", content, present) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, 1) "
                              "ON CONFLICT(content) DO UPDATE SET " + set + " RETURNING id");
    itemOfPath_ = db_.Prepare("SELECT id FROM items WHERE path = ?1 AND content IS NULL ORDER BY id LIMIT 1");
    appendRecent_ = db_.Prepare("INSERT INTO recent_sets(listener, count, items, whys) VALUES(?1, ?2, ?3, ?4)");
    setBySeq_ = db_.Prepare("SELECT count, items, whys FROM recent_sets WHERE seq = ?1");
    if (!newListener_.Valid() || !ensureListener_.Valid() || !upsertRating_.Valid() ||
        !upsertItem_.Valid() || !updateItem_.Valid() || !itemOfPath_.Valid() || !appendRecent_.Valid() ||
        !setBySeq_.Valid()) {
        db_.Close();
        if (error != nullptr) *error = why;
        return false;
    }
    return true;
}

// A file without a version table comes from a station before versions were
// kept; its tables are those of version 1, which that step completes. Every
// step newer than the file runs in order and records its version, all in one
// transaction.
bool SqliteStore::Migrate(const std::string& path, std::string& error) {
    return InTransaction([&] {
        if (!db_.Exec("CREATE TABLE IF NOT EXISTS schema_version(version INTEGER NOT NULL)")) {
            return false;
        }
        SqliteStatement select = db_.Prepare("SELECT coalesce(max(version), 0) FROM schema_version");
        if (!select.Step()) {
            return false;
        }
        const std::int64_t version = select.Int(0);
        select = SqliteStatement();
        if (version > kStoreSchemaVersion) {
            error = "the database " + path + " has schema version " + std::to_string(version) +
                    ", newer than this station knows (" + std::to_string(kStoreSchemaVersion) +
                    "); run a newer vorn-station";
            return false;
        }
        if (version == kStoreSchemaVersion) {
            return true;
        }
        SqliteStatement record = db_.Prepare("INSERT INTO schema_version(version) VALUES(?1)");
        for (const Migration& migration : kMigrations) {
            if (migration.version > version &&
                !(db_.Exec(migration.sql) && record.Bind(1, migration.version).Run())) {
                return false;
            }
        }
        return true;
    });
}

void SqliteStore::Close() {
    std::lock_guard lock(mutex_);
    newListener_ = SqliteStatement();
    ensureListener_ = SqliteStatement();
    upsertRating_ = SqliteStatement();
    upsertItem_ = SqliteStatement();
    updateItem_ = SqliteStatement();
    itemOfPath_ = SqliteStatement();
    appendRecent_ = SqliteStatement();
    setBySeq_ = SqliteStatement();
    setsOf_.clear();
    setsListed_ = false;
    db_.Close();
}

bool SqliteStore::InTransaction(const std::function<bool()>& work) {
    if (!db_.Exec("BEGIN IMMEDIATE")) {
        return false;
    }
    if (!work()) {
        db_.Exec("ROLLBACK");
        return false;
    }
    if (!db_.Exec("COMMIT")) {
        db_.Exec("ROLLBACK");
        return false;
    }
    return true;
}

std::int32_t SqliteStore::NewListener() {
    std::lock_guard lock(mutex_);
    if (!db_.IsOpen() || !newListener_.Bind(1, Now()).Run()) {
        return 0;
    }
    const std::int64_t id = db_.LastInsertId();
    if (id < 1 || id > INT32_MAX) {
        STATION_LOG(LogLevel::Severe) << "SqliteStore : listener ids are exhausted";
        return 0;
    }
    return static_cast<std::int32_t>(id);
}

bool SqliteStore::EnsureListener(std::int32_t id) {
    std::lock_guard lock(mutex_);
    return id > 0 && db_.IsOpen() && ensureListener_.Bind(1, id).Bind(2, Now()).Run();
}

bool SqliteStore::Answers(std::string& why) {
    std::lock_guard lock(mutex_);
    SqliteStatement select = db_.IsOpen() ? db_.Prepare("SELECT 1") : SqliteStatement();
    if (select.Valid() && select.Step()) {
        return true;
    }
    why = db_.IsOpen() ? "the database file does not answer: " + db_.ErrorText() : "the database is closed";
    return false;
}

std::vector<std::int32_t> SqliteStore::Listeners() {
    std::lock_guard lock(mutex_);
    std::vector<std::int32_t> ids;
    SqliteStatement select = db_.Prepare("SELECT id FROM listeners ORDER BY id");
    while (select.Step()) {
        ids.push_back(static_cast<std::int32_t>(select.Int(0)));
    }
    return ids;
}

bool SqliteStore::StoreRatings(std::int32_t listener,
                                const std::vector<std::pair<std::int32_t, std::int32_t>>& ratings) {
    std::lock_guard lock(mutex_);
    if (!db_.IsOpen()) {
        return false;
    }
    const std::int64_t now = Now();
    return InTransaction([&] {
        for (const auto& [item, value] : ratings) {
            if (!upsertRating_.Bind(1, listener).Bind(2, item).Bind(3, value).Bind(4, now).Run()) {
                return false;
            }
        }
        return true;
    });
}

std::vector<RatingRecord> SqliteStore::LoadRatings() {
    std::lock_guard lock(mutex_);
    std::vector<RatingRecord> ratings;
    SqliteStatement select = db_.Prepare("SELECT listener, item, value FROM ratings ORDER BY listener, item");
    while (select.Step()) {
        ratings.push_back({static_cast<std::int32_t>(select.Int(0)), static_cast<std::int32_t>(select.Int(1)),
                           static_cast<std::int32_t>(select.Int(2))});
    }
    return ratings;
}

bool SqliteStore::WriteItem(ItemRecord& item) {
    std::int64_t id = item.id;
    if (id == 0 && item.content == 0) {
        // Known by its path, as items were before content keys.
        id = itemOfPath_.Bind(1, item.path).Step() ? itemOfPath_.Int(0) : 0;
        itemOfPath_.Reset();
    }
    SqliteStatement& write = id != 0 ? updateItem_ : upsertItem_;
    BindItem(write, item, 1);
    BindKey(write, 12, item.content);
    if (id != 0) {
        write.Bind(13, id);
    }
    id = ReturnedId(write);
    if (id < 1 || id > INT32_MAX) {
        return false;
    }
    item.id = static_cast<std::int32_t>(id);
    item.present = true;
    return true;
}

bool SqliteStore::SyncItems(std::vector<ItemRecord>& found) {
    std::lock_guard lock(mutex_);
    if (!db_.IsOpen()) {
        return false;
    }
    return InTransaction([&] {
        if (!db_.Exec("CREATE TEMP TABLE IF NOT EXISTS seen(id INTEGER PRIMARY KEY); DELETE FROM temp.seen;")) {
            return false;
        }
        SqliteStatement seen = db_.Prepare("INSERT OR IGNORE INTO temp.seen(id) VALUES(?1)");
        for (ItemRecord& item : found) {
            if (!WriteItem(item) || !seen.Bind(1, item.id).Run()) {
                return false;
            }
        }
        return db_.Exec("UPDATE items SET present = 0 WHERE present = 1 AND id NOT IN (SELECT id FROM temp.seen);"
                        "DELETE FROM temp.seen;");
    });
}

bool SqliteStore::UpdateItems(std::vector<ItemRecord>& changed, const std::vector<std::int32_t>& gone) {
    std::lock_guard lock(mutex_);
    if (!db_.IsOpen()) {
        return false;
    }
    if (changed.empty() && gone.empty()) {
        return true;
    }
    return InTransaction([&] {
        for (ItemRecord& item : changed) {
            if (!WriteItem(item)) {
                return false;
            }
        }
        SqliteStatement missing = db_.Prepare("UPDATE items SET present = 0 WHERE id = ?1");
        for (const std::int32_t id : gone) {
            if (!missing.Bind(1, id).Run()) {
                return false;
            }
        }
        return true;
    });
}

bool SqliteStore::MarkMissing(std::int32_t id) {
    std::lock_guard lock(mutex_);
    SqliteStatement update = db_.Prepare("UPDATE items SET present = 0 WHERE id = ?1");
    return update.Bind(1, id).Run();
}

std::vector<ItemRecord> SqliteStore::LoadItems() {
    std::lock_guard lock(mutex_);
    std::vector<ItemRecord> items;
    SqliteStatement select = db_.Prepare(std::string("SELECT id, present, content, ") + kItemFields +
                                         " FROM items ORDER BY id");
    while (select.Step()) {
        ItemRecord item;
        item.id = static_cast<std::int32_t>(select.Int(0));
        item.present = select.Int(1) != 0;
        item.content = select.IsNull(2) ? 0 : KeyFromStored(select.Int(2));
        item.path = select.Text(3);
        item.artist = select.Text(4);
        item.title = select.Text(5);
        item.album = select.Text(6);
        item.genre = select.Text(7);
        item.lengthSeconds = static_cast<std::int32_t>(select.Int(8));
        item.fileSize = select.Int(9);
        item.modified = select.Int(10);
        item.format = select.Text(11);
        item.bitrate = static_cast<std::int32_t>(select.Int(12));
        item.printHash = static_cast<std::uint32_t>(select.Int(13));
        items.push_back(std::move(item));
    }
    return items;
}

bool SqliteStore::UpdateFiles(const std::vector<FileRecord>& changed, const std::vector<std::string>& removed) {
    std::lock_guard lock(mutex_);
    if (!db_.IsOpen()) {
        return false;
    }
    if (changed.empty() && removed.empty()) {
        return true;
    }
    return InTransaction([&] {
        SqliteStatement insert = db_.Prepare(
            "INSERT OR REPLACE INTO files(path, size, modified, skipped, item, format, bitrate, content) "
            "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
        SqliteStatement forget = db_.Prepare("DELETE FROM files WHERE path = ?1");
        for (const std::string& path : removed) {
            if (!forget.Bind(1, path).Run()) {
                return false;
            }
        }
        for (const FileRecord& file : changed) {
            insert.Bind(1, file.path).Bind(2, file.fileSize).Bind(3, file.modified);
            insert.Bind(4, static_cast<std::int64_t>(file.skipped)).Bind(5, file.item).Bind(6, file.format);
            insert.Bind(7, file.bitrate);
            BindKey(insert, 8, file.content);
            if (!insert.Run()) {
                return false;
            }
        }
        return true;
    });
}

std::vector<FileRecord> SqliteStore::LoadFiles() {
    std::lock_guard lock(mutex_);
    std::vector<FileRecord> files;
    SqliteStatement select =
        db_.Prepare("SELECT path, size, modified, skipped, item, format, bitrate, content FROM files ORDER BY path");
    while (select.Step()) {
        FileRecord file;
        file.path = select.Text(0);
        file.fileSize = select.Int(1);
        file.modified = select.Int(2);
        const std::int64_t skipped = select.Int(3);
        file.skipped = skipped >= 0 && skipped <= static_cast<std::int64_t>(SkipReason::NoDecoder)
                           ? static_cast<SkipReason>(skipped)
                           : SkipReason::Unreadable;
        file.item = static_cast<std::int32_t>(select.Int(4));
        file.format = select.Text(5);
        file.bitrate = static_cast<std::int32_t>(select.Int(6));
        file.content = select.IsNull(7) ? 0 : KeyFromStored(select.Int(7));
        files.push_back(std::move(file));
    }
    return files;
}

bool SqliteStore::StorePrints(const std::vector<SoundPrint>& prints) {
    std::lock_guard lock(mutex_);
    if (!db_.IsOpen()) {
        return false;
    }
    return InTransaction([&] {
        SqliteStatement insert = db_.Prepare("INSERT OR REPLACE INTO prints(content, print) VALUES(?1, ?2)");
        for (const SoundPrint& print : prints) {
            if (!insert.Bind(1, StoredKey(print.content)).BindBlob(2, PrintBytes(print.print)).Run()) {
                return false;
            }
        }
        return true;
    });
}

bool SqliteStore::LoadPrints(const std::vector<std::uint64_t>& contents, std::vector<SoundPrint>& out) {
    std::lock_guard lock(mutex_);
    out.clear();
    if (!db_.IsOpen()) {
        return false;
    }
    SqliteStatement select = db_.Prepare("SELECT print FROM prints WHERE content = ?1");
    for (const std::uint64_t content : contents) {
        if (select.Bind(1, StoredKey(content)).Step()) {
            out.push_back({content, PrintFromBytes(select.Text(0))});
        } else if (!select.Done()) {
            return false;
        }
        select.Reset();
    }
    return true;
}

bool SqliteStore::AppendRecent(const std::vector<RecentRecord>& records) {
    std::lock_guard lock(mutex_);
    if (!db_.IsOpen()) {
        return false;
    }
    // A recent record need not outlive a power cut: it only keeps an item
    // from coming round too soon. Its commit skips the wait for the disk; the
    // next rating's commit waits for these records too.
    db_.Exec("PRAGMA synchronous=NORMAL");
    std::vector<std::pair<std::int32_t, std::int64_t>> added;  // listener, seq: listed once committed
    const bool ok = InTransaction([&] {
        // An answer's records come one after another: each run of one
        // listener's records is a set.
        for (std::size_t at = 0; at < records.size();) {
            RecentSet set;
            const std::int32_t listener = records[at].listener;
            for (; at < records.size() && records[at].listener == listener; ++at) {
                set.Add(records[at].item, records[at].why);
            }
            if (!appendRecent_.Bind(1, listener)
                     .Bind(2, static_cast<std::int64_t>(set.Count()))
                     .Bind(3, set.Items())
                     .Bind(4, set.Whys())
                     .Run()) {
                return false;
            }
            added.emplace_back(listener, db_.LastInsertId());
        }
        return true;
    });
    db_.Exec("PRAGMA synchronous=FULL");
    if (ok && setsListed_) {
        for (const auto& [listener, seq] : added) {
            setsOf_[listener].push_back(seq);
        }
    }
    return ok;
}

std::vector<RecentRecord> SqliteStore::LoadRecent(int perListener) {
    std::lock_guard lock(mutex_);
    std::vector<RecentRecord> records;
    SqliteStatement select =
        db_.Prepare(std::string("SELECT listener, count, items, whys, newer FROM (") + kSetsWithNewer +
                    ") WHERE newer < ?1 ORDER BY seq");
    select.Bind(1, perListener);
    while (select.Step()) {
        const auto listener = static_cast<std::int32_t>(select.Int(0));
        const std::vector<RecentSet::Entry> entries = DecodeSet(select, 1);
        // Of a set reaching past the listener's last `perListener` items, its newest.
        const std::int64_t room = perListener - select.Int(4);
        const std::size_t skip =
            room < static_cast<std::int64_t>(entries.size()) ? entries.size() - static_cast<std::size_t>(room) : 0;
        for (std::size_t index = skip; index < entries.size(); ++index) {
            records.push_back({listener, entries[index].item});
        }
    }
    return records;
}

bool SqliteStore::PruneRecent(int perListener) {
    std::lock_guard lock(mutex_);
    SqliteStatement prune = db_.Prepare(std::string("DELETE FROM recent_sets WHERE seq IN (SELECT seq FROM (") +
                                        kSetsWithNewer + ") WHERE newer >= ?1)");
    // Rare (every few thousand batches): the listing is read again when next needed.
    setsOf_.clear();
    setsListed_ = false;
    return prune.Bind(1, perListener).Run();
}

bool SqliteStore::ListSets() {
    if (setsListed_) {
        return true;
    }
    setsOf_.clear();
    SqliteStatement select = db_.Prepare("SELECT listener, seq FROM recent_sets ORDER BY seq");
    while (select.Step()) {
        setsOf_[static_cast<std::int32_t>(select.Int(0))].push_back(select.Int(1));
    }
    setsListed_ = select.Done();
    return setsListed_;
}

bool SqliteStore::VisitNewestSets(std::int32_t listener,
                                  const std::function<bool(const std::vector<RecentSet::Entry>&)>& visit) {
    if (!ListSets()) {
        return false;
    }
    const auto sets = setsOf_.find(listener);
    if (sets == setsOf_.end()) {
        return true;
    }
    for (auto seq = sets->second.rbegin(); seq != sets->second.rend(); ++seq) {
        setBySeq_.Reset();
        if (!setBySeq_.Bind(1, *seq).Step()) {
            if (!setBySeq_.Done()) {
                return false;
            }
            continue;  // listed but gone: nothing to read
        }
        if (!visit(DecodeSet(setBySeq_, 0))) {
            break;
        }
    }
    setBySeq_.Reset();
    return true;
}

bool SqliteStore::LoadListener(std::int32_t listener, int recentCount, ListenerRecords& out) {
    std::lock_guard lock(mutex_);
    out = ListenerRecords();
    if (!db_.IsOpen()) {
        return false;
    }
    SqliteStatement ratings = db_.Prepare("SELECT item, value FROM ratings WHERE listener = ?1 ORDER BY item");
    ratings.Bind(1, listener);
    while (ratings.Step()) {
        out.ratings.emplace_back(static_cast<std::int32_t>(ratings.Int(0)), static_cast<std::int32_t>(ratings.Int(1)));
    }
    // The newest sets until they hold `recentCount` items, then oldest first.
    const auto want = static_cast<std::size_t>(std::max(recentCount, 0));
    std::vector<std::vector<RecentSet::Entry>> sets;
    std::size_t held = 0;
    const bool read = want == 0 || VisitNewestSets(listener, [&](const std::vector<RecentSet::Entry>& set) {
        sets.push_back(set);
        held += set.size();
        return held < want;
    });
    std::size_t skip = held > want ? held - want : 0;
    for (auto set = sets.rbegin(); set != sets.rend(); ++set) {
        for (const RecentSet::Entry& entry : *set) {
            if (skip > 0) {
                --skip;
            } else {
                out.recent.push_back(entry.item);
            }
        }
    }
    return ratings.Done() && read;
}

std::string SqliteStore::TokenOf(std::int32_t listener) {
    std::lock_guard lock(mutex_);
    if (!db_.IsOpen()) {
        return {};
    }
    const auto stored = [&] {
        SqliteStatement select = db_.Prepare("SELECT token FROM listener_tokens WHERE listener = ?1");
        return select.Bind(1, listener).Step() ? select.Text(0) : std::string();
    };
    std::string token = stored();
    if (!token.empty()) {
        return token;
    }
    token = ListenerToken::Generate();
    if (token.empty()) {
        STATION_LOG(LogLevel::Severe) << "SqliteStore : no random source for the page token of listener " << listener;
        return {};
    }
    SqliteStatement insert = db_.Prepare(
        "INSERT OR IGNORE INTO listener_tokens(listener, token, lookup) "
        "SELECT ?1, ?2, ?3 WHERE EXISTS (SELECT 1 FROM listeners WHERE id = ?1)");
    if (!insert.Bind(1, listener).Bind(2, token).Bind(3, ListenerToken::LookupKey(token)).Run()) {
        return {};
    }
    return stored();
}

std::int32_t SqliteStore::ListenerOfToken(const std::string& token) {
    const std::string key = ListenerToken::LookupKey(token);
    std::lock_guard lock(mutex_);
    if (!db_.IsOpen()) {
        return 0;
    }
    SqliteStatement select = db_.Prepare("SELECT listener, token FROM listener_tokens WHERE lookup = ?1");
    const bool found = select.Bind(1, key).Step();
    const std::int64_t listener = found ? select.Int(0) : 0;
    // Compared even when nothing was found, against text of the same length.
    const std::string stored = found ? select.Text(1) : std::string(token.size(), '\0');
    return ListenerToken::Equal(stored, token) && found ? static_cast<std::int32_t>(listener) : 0;
}

bool SqliteStore::LoadRatingHistory(std::int32_t listener, std::vector<RatedItem>& out) {
    std::lock_guard lock(mutex_);
    out.clear();
    if (!db_.IsOpen()) {
        return false;
    }
    SqliteStatement select = db_.Prepare(
        "SELECT item, value, updated FROM ratings WHERE listener = ?1 ORDER BY updated DESC, item DESC");
    select.Bind(1, listener);
    while (select.Step()) {
        out.push_back({static_cast<std::int32_t>(select.Int(0)), static_cast<std::int32_t>(select.Int(1)),
                       select.Int(2)});
    }
    return select.Done();
}

std::string SqliteStore::WhyRecommended(std::int32_t listener, std::int32_t item) {
    std::lock_guard lock(mutex_);
    if (!db_.IsOpen()) {
        return {};
    }
    // The reason told the last time the item was recommended to the listener.
    std::string why;
    VisitNewestSets(listener, [&](const std::vector<RecentSet::Entry>& set) {
        for (auto entry = set.rbegin(); entry != set.rend(); ++entry) {
            if (entry->item == item) {
                why = entry->why;
                return false;
            }
        }
        return true;
    });
    return why;
}

bool SqliteStore::StoreMediaFacts(const MediaFactsRecord& facts) {
    std::lock_guard lock(mutex_);
    if (!db_.IsOpen()) {
        return false;
    }
    SqliteStatement upsert = db_.Prepare(
        "INSERT INTO media_facts(item, size, modified, loudness_from, integrated, true_peak, art) "
        "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7) ON CONFLICT(item) DO UPDATE SET size = excluded.size, "
        "modified = excluded.modified, loudness_from = excluded.loudness_from, integrated = excluded.integrated, "
        "true_peak = excluded.true_peak, art = excluded.art");
    return upsert.Bind(1, facts.item)
        .Bind(2, facts.fileSize)
        .Bind(3, facts.modified)
        .Bind(4, static_cast<std::int64_t>(facts.loudnessFrom))
        .Bind(5, Hundredths(facts.integratedLufs))
        .Bind(6, Hundredths(facts.truePeakDbtp))
        .Bind(7, facts.art)
        .Run();
}

std::vector<MediaFactsRecord> SqliteStore::LoadMediaFacts() {
    std::lock_guard lock(mutex_);
    std::vector<MediaFactsRecord> all;
    SqliteStatement select = db_.Prepare(
        "SELECT item, size, modified, loudness_from, integrated, true_peak, art FROM media_facts ORDER BY item");
    while (select.Step()) {
        MediaFactsRecord facts;
        facts.item = static_cast<std::int32_t>(select.Int(0));
        facts.fileSize = select.Int(1);
        facts.modified = select.Int(2);
        facts.loudnessFrom = LoudnessSourceOf(select.Int(3));
        facts.integratedLufs = Decibels(select.Int(4));
        facts.truePeakDbtp = Decibels(select.Int(5));
        facts.art = select.Text(6);
        all.push_back(std::move(facts));
    }
    return all;
}

}  // namespace vorn::station
