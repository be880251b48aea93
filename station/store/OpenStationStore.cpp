#include "station/store/OpenStationStore.h"

#include "station/store/PostgresStore.h"
#include "station/store/SqliteStore.h"

namespace vorn::station {
namespace {

constexpr std::string_view kSqlite = "sqlite:";

bool IsPostgres(const std::string& url) {
    return url.rfind("postgresql://", 0) == 0 || url.rfind("postgres://", 0) == 0;
}

}  // namespace

bool IsDatabaseUrl(const std::string& url) {
    return (url.rfind(kSqlite, 0) == 0 && url.size() > kSqlite.size()) || IsPostgres(url);
}

std::unique_ptr<StationStore> OpenStationStore(const std::string& url, std::string& error) {
    if (IsPostgres(url)) {
        return PostgresStore::Open(url, error);
    }
    if (!IsDatabaseUrl(url)) {
        error = "unknown database \"" + url + "\"";
        return nullptr;
    }
    auto store = std::make_unique<SqliteStore>();
    if (!store->Open(url.substr(kSqlite.size()), &error)) {
        return nullptr;
    }
    return store;
}

}  // namespace vorn::station
