#include "station/app/StationOptions.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/UserDirs.h"
#include "station/store/OpenStationStore.h"

namespace vorn::station {
namespace {

constexpr int kMostConnections = 1000000;
constexpr int kMostCacheMegabytes = 16 * 1024 * 1024;  // 16 TB

bool ReadInt(const std::string& name, const std::string& text, int low, int high, int& out, std::string& error) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high) {
        error = name + " needs a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
                ", not \"" + text + "\"";
        return false;
    }
    out = static_cast<int>(value);
    return true;
}

std::string MachineName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    return name;
}

}  // namespace

std::string DefaultDatabase(const std::string& dataDir) { return "sqlite:" + dataDir + "/station.db"; }

bool ParseStationOptions(int argc, const char* const* argv, StationOptions& options, std::string& error) {
    options = StationOptions();
    bool perAddressGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        bool hasValue = false;
        if (const std::size_t equals = name.find('='); name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            hasValue = true;
        }
        const auto next = [&](std::string& out) {
            if (hasValue) {
                out = value;
                return true;
            }
            if (i + 1 >= argc) {
                error = name + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string text;
        if (name == "--help" || name == "-h") {
            options.help = true;
        } else if (name == "--redirect-media") {
            options.redirectMedia = true;
        } else if (name == "--rotate-threes") {
            options.rotateThrees = true;
        } else if (name == "--verbose") {
            options.logLevel = LogLevel::Fine;
        } else if (name == "--quiet") {
            options.logLevel = LogLevel::Warning;
        } else if (name == "--music") {
            if (!next(options.musicDir)) return false;
        } else if (name == "--data") {
            if (!next(options.dataDir)) return false;
        } else if (name == "--database") {
            if (!next(options.database)) return false;
            if (!IsDatabaseUrl(options.database)) {
                error = "--database needs sqlite:PATH or a postgresql:// connection URI, not \"" +
                        options.database + "\"";
                return false;
            }
        } else if (name == "--key") {
            if (!next(options.keyFile)) return false;
            if (options.keyFile.empty()) {
                error = "--key needs the path of a key file";
                return false;
            }
        } else if (name == "--bind") {
            if (!next(options.bindAddress)) return false;
        } else if (name == "--public-host") {
            if (!next(options.publicHost)) return false;
        } else if (name == "--make-demo-library") {
            if (!next(options.makeDemoLibrary)) return false;
        } else if (name == "--port") {
            if (!next(text) || !ReadInt(name, text, 0, 65535, options.port, error)) return false;
        } else if (name == "--media-port") {
            if (!next(text) || !ReadInt(name, text, 0, 65535, options.mediaPort, error)) return false;
        } else if (name == "--cdn-port") {
            if (!next(text) || !ReadInt(name, text, 0, 65535, options.cdnPort, error)) return false;
        } else if (name == "--admin-port") {
            if (!next(text) || !ReadInt(name, text, 0, 65535, options.adminPort, error)) return false;
        } else if (name == "--admin-bind") {
            if (!next(options.adminBind)) return false;
        } else if (name == "--min-build") {
            if (!next(text) || !ReadInt(name, text, 0, INT_MAX, options.minBuild, error)) return false;
        } else if (name == "--latest-build") {
            if (!next(text) || !ReadInt(name, text, 0, INT_MAX, options.latestBuild, error)) return false;
        } else if (name == "--pick-seed") {
            if (!next(text) || !ReadInt(name, text, 0, INT_MAX, options.pickSeed, error)) return false;
        } else if (name == "--rescan") {
            if (!next(text) || !ReadInt(name, text, 0, 7 * 24 * 60, options.rescanMinutes, error)) return false;
        } else if (name == "--cache-size") {
            if (!next(text) || !ReadInt(name, text, 1, kMostCacheMegabytes, options.cacheMegabytes, error)) return false;
        } else if (name == "--tracks") {
            if (!next(text) || !ReadInt(name, text, 1, 1000, options.tracks, error)) return false;
        } else if (name == "--track-seconds") {
            if (!next(text) || !ReadInt(name, text, 1, 3600, options.trackSeconds, error)) return false;
        } else if (name == "--answer-delay") {
            if (!next(text) || !ReadInt(name, text, 0, 60000, options.answerDelayMs, error)) return false;
        } else if (name == "--max-connections") {
            if (!next(text) || !ReadInt(name, text, 1, kMostConnections, options.maxConnections, error)) return false;
        } else if (name == "--max-connections-per-address") {
            if (!next(text) ||
                !ReadInt(name, text, 1, kMostConnections, options.maxConnectionsPerAddress, error)) return false;
            perAddressGiven = true;
        } else {
            error = "unknown option \"" + name + "\"";
            return false;
        }
    }
    if (!perAddressGiven) {
        options.maxConnectionsPerAddress =
            std::min(kDefaultMaxConnectionsPerAddress, std::max(1, options.maxConnections / 4));
    } else if (options.maxConnectionsPerAddress > options.maxConnections) {
        error = "--max-connections-per-address (" + std::to_string(options.maxConnectionsPerAddress) +
                ") must not exceed --max-connections (" + std::to_string(options.maxConnections) + ")";
        return false;
    }
    if (options.musicDir.empty()) {
        options.musicDir = MusicDir();
    }
    if (options.dataDir.empty()) {
        options.dataDir = DataHome() + "/vorn-station";
    }
    if (options.database.empty()) {
        options.database = DefaultDatabase(options.dataDir);
    }
    if (options.publicHost.empty()) {
        const bool wildcard = options.bindAddress == "0.0.0.0" || options.bindAddress == "::";
        options.publicHost = wildcard ? MachineName() : options.bindAddress;
    }
    if (options.port != 0 && (options.port == options.mediaPort || options.port == options.cdnPort)) {
        error = "the protocol port, the media port and the mirror port must differ";
        return false;
    }
    if (options.mediaPort != 0 && options.mediaPort == options.cdnPort) {
        error = "the protocol port, the media port and the mirror port must differ";
        return false;
    }
    return true;
}

std::string StationUsage() {
    return "Usage: vorn-station [options]\n"
           "\n"
           "The companion station of Vorn Custom Radio: recommends music from a folder of music\n"
           "files, learns from the listeners' ratings and serves the files (as MP3).\n"
           "\n"
           "  --music DIR             the music to recommend, scanned recursively for audio\n"
           "                          files of every format GStreamer decodes here (MP3, FLAC,\n"
           "                          Ogg, Opus, WAV, M4A, ...) (default: your music folder)\n"
           "  --data DIR              database and key pair (default: $XDG_DATA_HOME/vorn-station)\n"
           "  --database URL          sqlite:PATH (default: station.db in the data folder) or\n"
           "                          postgresql://... (a libpq connection URI), which several\n"
           "                          stations can share\n"
           "  --key FILE              the key pair to use, PEM; it must exist and be readable by\n"
           "                          its owner only (default: station-key.pem in the data\n"
           "                          folder, made when missing)\n"
           "  --bind ADDR             address to listen on (default: 127.0.0.1; 0.0.0.0 for all)\n"
           "  --port N                protocol port the client talks to (default: 8080)\n"
           "  --media-port N          media host serving the files and pages (default: 8000)\n"
           "  --cdn-port N            content-network mirror (default: 8090; 0 turns it off)\n"
           "  --admin-port N          metrics (/metrics, for Prometheus) and health (/healthz)\n"
           "                          for the operator's tools (default: 8091; 0 turns it off)\n"
           "  --admin-bind ADDR       address of the admin port (default: 127.0.0.1)\n"
           "  --public-host NAME      host name written into media links (default: the bind\n"
           "                          address, or this machine's name when binding to all)\n"
           "  --min-build N           oldest client build accepted (default: 13)\n"
           "  --latest-build N        newest client build published (default: 13)\n"
           "  --redirect-media        answer media requests with one redirect to a second path\n"
           "  --rescan MINUTES        scan the whole music folder this often, the fallback of\n"
           "                          its live watch (default: 10; 0 scans only at start)\n"
           "  --rotate-threes         once a listener has heard everything, tracks rated 3\n"
           "                          stars come back in rotation too, not only 4 and 5\n"
           "  --pick-seed N           the same picks for the same requests on every run, for\n"
           "                          measurements and tests (default: 0, a new seed each start)\n"
           "  --cache-size MB         the MP3s made of music in other formats keep at most\n"
           "                          this much of the data folder, the least recently used\n"
           "                          going first (default: 2048)\n"
           "  --make-demo-library DIR write a demo library of synthesised tracks and exit\n"
           "  --tracks N              how many demo tracks (default: 24)\n"
           "  --track-seconds N       length of each demo track (default: 20 to 34 s, varying);\n"
           "                          short ones suit tests, long ones benchmarks\n"
           "  --answer-delay MS       wait MS milliseconds before every protocol answer, as a\n"
           "                          slow or distant station would (default: 0)\n"
           "  --max-connections N     connections each port holds at most, from every address\n"
           "                          together (default: 2048); more are refused at once\n"
           "  --max-connections-per-address N\n"
           "                          connections one client address holds at most on each\n"
           "                          port (default: 64, or a quarter of --max-connections\n"
           "                          when that is less); an IPv6 address counts by its /64.\n"
           "                          Listeners behind one NAT share an address: raise it for\n"
           "                          a large one\n"
           "  --verbose, --quiet      log more, or only warnings and errors\n"
           "  --help                  show this text\n"
           "\n"
           "Logs go to standard error. SIGINT or SIGTERM stops the station.\n";
}

}  // namespace vorn::station
