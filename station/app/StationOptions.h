#pragma once

#include <string>

#include "foundation/LogLevel.h"
#include "station/base/StationConstants.h"

namespace vorn::station {

// The command line of vorn-station.
struct StationOptions {
    bool help = false;
    std::string musicDir;     // default: the user's music folder
    std::string dataDir;      // default: $XDG_DATA_HOME/vorn-station
    std::string database;     // "sqlite:PATH" or "postgresql://..."; default: sqlite:<dataDir>/station.db
    std::string keyFile;      // the key pair, which must exist; default: <dataDir>/station-key.pem, made when missing
    std::string bindAddress = "127.0.0.1";
    int port = kDefaultProtocolPort;    // 0: any free port
    int mediaPort = kDefaultMediaPort;  // 0: any free port
    int cdnPort = kDefaultMirrorPort;   // 0: no mirror
    // The metrics and health port, for the operator's tools only; 0 turns it
    // off, and the station then counts nothing.
    int adminPort = kDefaultAdminPort;
    std::string adminBind = "127.0.0.1";
    std::string publicHost;   // default: the bind address, or this machine's name for a wildcard
    int minBuild = 13;
    int latestBuild = 13;
    bool redirectMedia = false;
    int rescanMinutes = 10;   // 0: scan only at start
    bool rotateThrees = false;  // tracks rated 3 stars come back in rotation too, not only 4 and 5
    int pickSeed = 0;           // the picks' random source; 0: a new one every start
    int cacheMegabytes = 2048;  // the MP3s made of other formats keep at most this much of the data folder
    std::string makeDemoLibrary;
    int tracks = 24;
    int trackSeconds = 0;     // demo track length; 0: each picks 20 to 34 s
    int answerDelayMs = 0;    // every protocol answer waits this long (a slow station, for tests)
    int maxConnections = kDefaultMaxConnections;  // on each port
    // From one address on each port; by default the smaller of 64 and a
    // quarter of maxConnections.
    int maxConnectionsPerAddress = kDefaultMaxConnectionsPerAddress;
    LogLevel logLevel = LogLevel::Info;
};

// The database a station uses when --database is not given.
std::string DefaultDatabase(const std::string& dataDir);

// Reads argv into `options` (defaults filled in); false with `error` set for an
// unknown option, a missing or bad value.
bool ParseStationOptions(int argc, const char* const* argv, StationOptions& options, std::string& error);
std::string StationUsage();

}  // namespace vorn::station
