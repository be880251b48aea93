#include "station/app/StationOptions.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/TempDir.h"

namespace vorn::station::test {
namespace {

bool Parse(std::vector<const char*> args, StationOptions& options, std::string& error) {
    args.insert(args.begin(), "vorn-station");
    return ParseStationOptions(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(StationOptionsTest, DefaultsAndEveryOption) {
    vorn::test::IsolatedHome home;
    StationOptions options;
    std::string error;
    ASSERT_TRUE(Parse({}, options, error)) << error;
    EXPECT_EQ(options.dataDir, home / "data/vorn-station");
    EXPECT_EQ(options.bindAddress, "127.0.0.1");
    EXPECT_EQ(options.publicHost, "127.0.0.1");
    EXPECT_EQ(options.port, 8080);
    EXPECT_EQ(options.mediaPort, 8000);
    EXPECT_EQ(options.cdnPort, 8090);
    EXPECT_EQ(options.adminPort, 8091);
    EXPECT_EQ(options.adminBind, "127.0.0.1");
    EXPECT_EQ(options.minBuild, 13);
    EXPECT_EQ(options.latestBuild, 13);
    EXPECT_FALSE(options.redirectMedia);
    EXPECT_FALSE(options.rotateThrees);
    EXPECT_EQ(options.pickSeed, 0);
    EXPECT_EQ(options.tracks, 24);
    EXPECT_EQ(options.trackSeconds, 0);
    EXPECT_EQ(options.database, "sqlite:" + (home / "data/vorn-station/station.db"));
    EXPECT_EQ(options.keyFile, "");
    EXPECT_EQ(options.maxConnections, 2048);
    EXPECT_EQ(options.maxConnectionsPerAddress, 64);

    ASSERT_TRUE(Parse({"--music", "/m", "--data=/d", "--bind", "0.0.0.0", "--port", "9080", "--media-port", "9000",
                       "--cdn-port", "0", "--admin-port", "0", "--admin-bind", "::1", "--min-build", "10", "--latest-build=14", "--redirect-media",
                       "--make-demo-library", "/demo", "--tracks", "3", "--track-seconds", "6", "--rescan", "0", "--rotate-threes", "--pick-seed", "77", "--quiet"},
                      options, error))
        << error;
    EXPECT_EQ(options.musicDir, "/m");
    EXPECT_EQ(options.dataDir, "/d");
    EXPECT_NE(options.publicHost, "0.0.0.0");  // a wildcard is no address for a link
    EXPECT_EQ(options.port, 9080);
    EXPECT_EQ(options.mediaPort, 9000);
    EXPECT_EQ(options.cdnPort, 0);
    EXPECT_EQ(options.adminPort, 0);
    EXPECT_EQ(options.adminBind, "::1");
    EXPECT_EQ(options.minBuild, 10);
    EXPECT_EQ(options.latestBuild, 14);
    EXPECT_TRUE(options.redirectMedia);
    EXPECT_EQ(options.makeDemoLibrary, "/demo");
    EXPECT_EQ(options.tracks, 3);
    EXPECT_EQ(options.trackSeconds, 6);
    EXPECT_EQ(options.rescanMinutes, 0);
    EXPECT_TRUE(options.rotateThrees);
    EXPECT_EQ(options.pickSeed, 77);
    EXPECT_EQ(options.logLevel, LogLevel::Warning);
    ASSERT_TRUE(Parse({"--public-host", "radio.example", "--help"}, options, error));
    EXPECT_EQ(options.publicHost, "radio.example");
    EXPECT_TRUE(options.help);
    ASSERT_TRUE(Parse({"--database", "postgresql://radio@db/vorn", "--key", "/k.pem"}, options, error)) << error;
    EXPECT_EQ(options.database, "postgresql://radio@db/vorn");
    EXPECT_EQ(options.keyFile, "/k.pem");
    ASSERT_TRUE(Parse({"--database=sqlite:/d/s.db"}, options, error)) << error;
    EXPECT_EQ(options.database, "sqlite:/d/s.db");

    ASSERT_TRUE(Parse({"--max-connections", "20000", "--max-connections-per-address=500"}, options, error)) << error;
    EXPECT_EQ(options.maxConnections, 20000);
    EXPECT_EQ(options.maxConnectionsPerAddress, 500);
    // Fewer connections than the default share: an address gets a quarter.
    ASSERT_TRUE(Parse({"--max-connections", "100"}, options, error)) << error;
    EXPECT_EQ(options.maxConnectionsPerAddress, 25);
    ASSERT_TRUE(Parse({"--max-connections", "2"}, options, error)) << error;
    EXPECT_EQ(options.maxConnectionsPerAddress, 1);
}

TEST(StationOptionsTest, BadCommandLinesAreRefusedWithAReason) {
    StationOptions options;
    std::string error;
    EXPECT_FALSE(Parse({"--colour"}, options, error));
    EXPECT_EQ(error, "unknown option \"--colour\"");
    EXPECT_FALSE(Parse({"--music"}, options, error));
    EXPECT_EQ(error, "--music needs a value");
    EXPECT_FALSE(Parse({"--port", "80x"}, options, error));
    EXPECT_FALSE(Parse({"--port", "70000"}, options, error));
    EXPECT_EQ(error, "--port needs a whole number from 0 to 65535, not \"70000\"");
    EXPECT_FALSE(Parse({"--tracks", "0"}, options, error));
    EXPECT_FALSE(Parse({"--track-seconds", "0"}, options, error));
    EXPECT_FALSE(Parse({"--media-port", "8080"}, options, error));
    EXPECT_EQ(error, "the protocol port, the media port and the mirror port must differ");
    EXPECT_FALSE(Parse({"--database", "mysql://db"}, options, error));
    EXPECT_EQ(error, "--database needs sqlite:PATH or a postgresql:// connection URI, not \"mysql://db\"");
    EXPECT_FALSE(Parse({"--database", "sqlite:"}, options, error));
    EXPECT_FALSE(Parse({"--key", ""}, options, error));
    EXPECT_FALSE(Parse({"--max-connections", "0"}, options, error));
    EXPECT_EQ(error, "--max-connections needs a whole number from 1 to 1000000, not \"0\"");
    EXPECT_FALSE(Parse({"--max-connections-per-address", "65", "--max-connections", "64"}, options, error));
    EXPECT_EQ(error, "--max-connections-per-address (65) must not exceed --max-connections (64)");
}

}  // namespace
}  // namespace vorn::station::test
