#include "station/app/StationProgram.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "tests/station/support/Mp3Files.h"
#include "tests/station/support/RawClient.h"
#include "tests/station/support/StationTestSupport.h"
#include "tests/support/LoopbackServer.h"

namespace vorn::station::test {
namespace {

StationOptions TestOptions(const vorn::test::TempDir& dir) { return TestStationOptions(dir / "music", dir / "data"); }

TEST(StationProgramTest, ServesTheMusicFolderAndKeepsItsDataAcrossRestarts) {
    CapturedLog log;
    vorn::test::TempDir dir;
    std::filesystem::create_directories(dir / "music/sub");
    ASSERT_TRUE(WriteSilentMp3(dir / "music/sub/one.mp3", 2, 5));
    std::string error;
    {
        StationProgram program;
        ASSERT_TRUE(program.Start(TestOptions(dir), error)) << error;
        EXPECT_NE(program.ProtocolPort(), 0);
        EXPECT_EQ(program.MirrorPort(), 0);  // --cdn-port 0 turns the mirror off
        const std::string answer = Exchange(program.MediaPort(), "GET /media/1.mp3 HTTP/1.0\r\n\r\n");
        EXPECT_EQ(answer.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
        EXPECT_TRUE(log.Contains("1 items from \"" + (dir / "music") + "\""));
    }
    struct stat facts {};
    ASSERT_EQ(::stat((dir / "data").c_str(), &facts), 0);
    EXPECT_EQ(facts.st_mode & 0777, 0700u);
    EXPECT_TRUE(std::filesystem::exists(dir / "data/station.db"));
    ASSERT_EQ(::stat((dir / "data/station-key.pem").c_str(), &facts), 0);
    EXPECT_EQ(facts.st_mode & 0777, 0600u);

    // A second file appears; the restarted station serves the stored catalogue
    // at once and finds the new file with its start-up scan.
    ASSERT_TRUE(WriteSilentMp3(dir / "music/two.mp3", 2, 6));
    {
        StationProgram again;
        ASSERT_TRUE(again.Start(TestOptions(dir), error)) << error;
        EXPECT_EQ(Exchange(again.MediaPort(), "GET /media/1.mp3 HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 200 OK", 0), 0u);
        EXPECT_TRUE(vorn::test::WaitFor([&] {
            return Exchange(again.MediaPort(), "GET /media/2.mp3 HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 200 OK", 0) == 0;
        }));
    }

    // The whole music folder moves and a file in it is renamed: the items keep
    // their ids once the start-up scan has found them.
    std::filesystem::rename(dir / "music", dir / "moved");
    std::filesystem::rename(dir / "moved/sub/one.mp3", dir / "moved/sub/first.mp3");
    StationOptions moved = TestOptions(dir);
    moved.musicDir = dir / "moved";
    StationProgram third;
    ASSERT_TRUE(third.Start(moved, error)) << error;
    const auto body = [&](int id) {
        const std::string answer =
            Exchange(third.MediaPort(), "GET /media/" + std::to_string(id) + ".mp3 HTTP/1.0\r\n\r\n");
        return answer.rfind("HTTP/1.0 200 OK", 0) == 0 ? answer.substr(answer.find("\r\n\r\n") + 4) : "";
    };
    EXPECT_TRUE(vorn::test::WaitFor([&] {
        return body(1) == vorn::test::ReadFile(dir / "moved/sub/first.mp3") &&
               body(2) == vorn::test::ReadFile(dir / "moved/two.mp3");
    }));
    EXPECT_EQ(body(3), "");
}

TEST(StationProgramTest, APortInUseIsReportedAndNothingKeepsRunning) {
    vorn::test::TempDir dir;
    std::filesystem::create_directories(dir / "music");
    StationProgram first;
    std::string error;
    ASSERT_TRUE(first.Start(TestOptions(dir), error)) << error;
    StationOptions clash = TestOptions(dir);
    clash.dataDir = dir / "other";
    clash.mediaPort = first.MediaPort();
    StationProgram second;
    EXPECT_FALSE(second.Start(clash, error));
    EXPECT_NE(error.find("for the media host"), std::string::npos) << error;
}

// A key given on the command line is shared with other stations: when it is
// missing the station refuses to start rather than make one of its own. A
// database made by a newer station is refused too, and the program says why
// and exits with 1.
TEST(StationProgramTest, AMissingSharedKeyOrANewerDatabaseStopsTheStart) {
    vorn::test::TempDir dir;
    std::filesystem::create_directories(dir / "music");
    StationOptions options = TestOptions(dir);
    options.keyFile = dir / "shared-key.pem";
    std::string error;
    {
        StationProgram program;
        EXPECT_FALSE(program.Start(options, error));
        EXPECT_NE(error.find("cannot use the key pair " + (dir / "shared-key.pem")), std::string::npos) << error;
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "shared-key.pem"));

    // Without --key the data folder's key is made; then given, it is used.
    options.keyFile.clear();
    {
        StationProgram program;
        ASSERT_TRUE(program.Start(options, error)) << error;
    }
    options.keyFile = dir / "data/station-key.pem";
    options.database = "sqlite:" + (dir / "elsewhere.db");
    {
        StationProgram program;
        ASSERT_TRUE(program.Start(options, error)) << error;
    }
    EXPECT_TRUE(std::filesystem::exists(dir / "elsewhere.db"));

    SqliteStore store;
    ASSERT_TRUE(store.Open(dir / "elsewhere.db"));
    SqliteDatabase raw;
    ASSERT_TRUE(raw.Open(dir / "elsewhere.db"));
    ASSERT_TRUE(raw.Exec("UPDATE schema_version SET version = " + std::to_string(kStoreSchemaVersion + 1)));
    store.Close();
    raw.Close();
    const std::string errors = dir / "stderr.txt";
    const std::string command = std::string(VORN_STATION_PROGRAM) + " --music " + (dir / "music") + " --data " +
                                (dir / "data") + " --database sqlite:" + (dir / "elsewhere.db") +
                                " --port 0 --media-port 0 --cdn-port 0 --admin-port 0 2>" + errors;
    EXPECT_EQ(std::system(command.c_str()) >> 8, 1);
    EXPECT_NE(vorn::test::ReadFile(errors).find("has schema version " + std::to_string(kStoreSchemaVersion + 1) +
                                                ", newer than this station knows"),
              std::string::npos)
        << vorn::test::ReadFile(errors);
}

// The real program: runs until SIGTERM, then stops cleanly with exit code 0.
TEST(StationProgramTest, TheProgramStopsCleanlyOnSigterm) {
    vorn::test::TempDir dir;
    std::filesystem::create_directories(dir / "music");
    const std::string errors = dir / "stderr.txt";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (std::freopen(errors.c_str(), "w", stderr) == nullptr) {
            ::_exit(126);
        }
        const std::string music = dir / "music";
        const std::string data = dir / "data";
        ::execl(VORN_STATION_PROGRAM, "vorn-station", "--music", music.c_str(), "--data", data.c_str(), "--port",
                "0", "--media-port", "0", "--cdn-port", "0", "--admin-port", "0", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    EXPECT_TRUE(vorn::test::WaitFor([&] { return vorn::test::ReadFile(errors).find("mirror off") != std::string::npos; },
                                    10000));
    ::kill(child, SIGTERM);
    int status = 0;
    bool exited = false;
    for (int i = 0; i < 500 && !exited; ++i) {
        exited = ::waitpid(child, &status, WNOHANG) == child;
        if (!exited) {
            ::usleep(10000);
        }
    }
    if (!exited) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    ASSERT_TRUE(exited);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string text = vorn::test::ReadFile(errors);
    EXPECT_NE(text.find("SIGTERM received, stopping"), std::string::npos) << text;
    EXPECT_NE(text.find("INFO : vorn-station : stopped"), std::string::npos) << text;

    // A bad command line exits with 2 and says why.
    EXPECT_EQ(std::system((std::string(VORN_STATION_PROGRAM) + " --port nine 2>/dev/null").c_str()) >> 8, 2);
}

}  // namespace
}  // namespace vorn::station::test
