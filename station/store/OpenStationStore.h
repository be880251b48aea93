#pragma once

#include <memory>
#include <string>

#include "station/store/StationStore.h"

namespace vorn::station {

// True for the database names vorn-station takes: "sqlite:PATH" or a
// PostgreSQL connection URI ("postgresql://..." or "postgres://...").
bool IsDatabaseUrl(const std::string& url);

// Opens the store a database name gives, creating or migrating its schema;
// null with `error` set when it cannot be used.
std::unique_ptr<StationStore> OpenStationStore(const std::string& url, std::string& error);

}  // namespace vorn::station
