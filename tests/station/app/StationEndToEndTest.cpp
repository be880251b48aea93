// The client's engine and file retriever against a running station on loopback.
#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <map>
#include <set>
#include <thread>

#include "download/HttpFileRetriever.h"
#include "foundation/Preferences.h"
#include "server/UrlParts.h"
#include "server/VornClientEngine.h"
#include "station/store/SqliteDatabase.h"
#include "station/app/StationProgram.h"
#include "tests/station/support/ClientDownload.h"
#include "tests/station/support/Mp3Files.h"
#include "tests/station/support/StationTestSupport.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/ScopedLog.h"

namespace vorn::station::test {
namespace {

int FreePort() {
    vorn::test::LoopbackServer probe([](vorn::test::LoopbackServer::Connection&) {});
    const int port = probe.Port();
    probe.Stop();
    return port;
}

class StationEndToEndTest : public ::testing::Test {
protected:
    StationEndToEndTest() {
        std::filesystem::create_directories(music_);
        const char* genres[] = {"Folk", "Techno", "Jazz"};
        for (int n = 0; n < 9; ++n) {
            const std::string path = music_ + "/track" + std::to_string(n) + ".mp3";
            EXPECT_TRUE(WriteSilentMp3(path, 3, 100 + n));
            EXPECT_TRUE(TagMp3(path, "Artist " + std::to_string(n % 3), "Song " + std::to_string(n),
                               "Album " + std::to_string(n % 3), genres[n % 3]));
        }
    }

    StationOptions Options(int port) const {
        StationOptions options = TestStationOptions(music_, home_ / "station");
        options.port = port;
        options.logLevel = LogLevel::Fine;
        return options;
    }

    std::unique_ptr<Preferences> ViaProxy(int port) {
        vorn::test::WriteFile(home_.StorePath(),
                              "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Mirelund\\Vorn]\n\"pref_useproxy\"=\"1\"\n"
                              "\"pref_proxyserver\"=\"127.0.0.1\"\n\"pref_proxyport\"=\"" + std::to_string(port) + "\"\n");
        return std::make_unique<Preferences>();
    }

    // Connects, registers a listener and asks for one recommendation.
    void FirstRecommendation(VornClientEngine& engine, int port, VornClientEngine::RecommendationList& list) {
        ASSERT_EQ(engine.Initialise("127.0.0.1", port), kEngineOk);
        std::int32_t user = 0;
        ASSERT_EQ(engine.RegisterUser(user, {}), kEngineOk);
        ASSERT_EQ(engine.GetRecommendations(user, 1, 1, list), kEngineOk);
        ASSERT_EQ(list.size(), 1u);
    }

    vorn::test::IsolatedHome home_;
    vorn::test::ScopedLog clientLog_;
    CapturedLog stationLog_;
    const std::string music_ = home_ / "music";
};

TEST_F(StationEndToEndTest, RegisterRecommendDownloadRateRestartAndContinue) {
    auto station = std::make_unique<StationProgram>();
    std::string error;
    ASSERT_TRUE(station->Start(Options(0), error)) << error;
    const int port = station->ProtocolPort();
    Preferences direct;

    VornClientEngine engine(&direct);
    ASSERT_EQ(engine.Initialise("127.0.0.1", port), kEngineOk);
    std::int32_t user = 0;
    ASSERT_EQ(engine.RegisterUser(user, {}), kEngineOk);
    EXPECT_EQ(user, 1);

    VornClientEngine::RecommendationList list;
    ASSERT_EQ(engine.GetRecommendations(user, 1, 4, list), kEngineOk);
    ASSERT_EQ(list.size(), 4u);
    std::set<std::int32_t> offered;
    for (const auto& rec : list) {
        EXPECT_TRUE(rec->IsComplete());
        EXPECT_TRUE(offered.insert(rec->ItemId()).second);
        EXPECT_EQ(rec->Details().count("Artist"), 1u);
        EXPECT_EQ(rec->Details().count("Genre"), 1u);
    }
    // The file arrives byte for byte, under the name the station chose.
    const Recommendation& first = *list[0];
    const std::string target = home_ / first.FileName();
    const std::int32_t bytes = DownloadAsTheClient(first, target, &direct);
    ASSERT_GT(bytes, 0);
    bool matched = false;
    for (const auto& entry : std::filesystem::directory_iterator(music_)) {
        matched = matched || vorn::test::ReadFile(entry.path().string()) == vorn::test::ReadFile(target);
    }
    EXPECT_TRUE(matched);

    std::map<std::int32_t, std::int32_t> ratings;
    for (const auto& rec : list) {
        ratings[rec->ItemId()] = rec->Details().at("Genre") == "Jazz" ? 5 : 2;
    }
    ASSERT_EQ(engine.SubmitRatings(user, ratings), kEngineOk);
    // The client does not wait for an answer; the station commits on its own time.
    EXPECT_TRUE(vorn::test::WaitFor([&] { return stationLog_.Contains("stored 4 ratings of user 1"); }));
    station->Stop();
    station.reset();

    // Same data folder, same port: the engine goes on with its key and user id.
    // With threes in rotation this time.
    StationOptions threes = Options(port);
    threes.rotateThrees = true;
    station = std::make_unique<StationProgram>();
    ASSERT_TRUE(station->Start(threes, error)) << error;
    // The five unrated tracks first (the station remembers what it offered);
    // after them the tracks rated 5 and 3 come back, saying why, never those
    // rated 2.
    const std::int32_t three = list[1]->ItemId();
    ratings[list[0]->ItemId()] = 5;
    ratings[three] = 3;
    ASSERT_EQ(engine.SubmitRatings(user, {{list[0]->ItemId(), 5}, {three, 3}}), kEngineOk);
    EXPECT_TRUE(vorn::test::WaitFor([&] { return stationLog_.Contains("stored 2 ratings of user 1"); }));
    std::vector<std::int32_t> picks;
    for (int round = 0; round < 6; ++round) {
        list.clear();
        ASSERT_EQ(engine.GetRecommendations(user, 1, 2, list), kEngineOk);
        ASSERT_EQ(list.size(), 2u);
        for (const auto& rec : list) {
            const auto rated = ratings.find(rec->ItemId());
            if (picks.size() < 5) {
                EXPECT_EQ(rated, ratings.end()) << "rated item " << rec->ItemId() << " before the unrated ones";
            } else if (rated != ratings.end()) {
                EXPECT_GE(rated->second, 3) << "item rated " << rated->second << " offered again";
                EXPECT_EQ(rec->Details().at("Why"),
                          "Back in rotation: you rated it " + std::to_string(rated->second) + " stars");
            }
            picks.push_back(rec->ItemId());
        }
    }
    EXPECT_EQ(std::set<std::int32_t>(picks.begin(), picks.begin() + 5).size(), 5u);
    EXPECT_EQ(ratings.count(picks[5]), 1u) << "a loved track after the unrated ones";
    EXPECT_NE(std::find(picks.begin() + 5, picks.end(), three), picks.end()) << "the three came back";
    std::int32_t second = 0;
    ASSERT_EQ(engine.RegisterUser(second, {}), kEngineOk);
    EXPECT_EQ(second, 2);
}

// A station on one core works on one request at a time, but a request that
// waits for its disk gives the core up meanwhile: while a rating waits for the
// database (another program holds its write lock), a recommendation is
// answered; the rating is stored, and then acknowledged, once the lock is free.
TEST_F(StationEndToEndTest, ARatingWaitingForTheDiskHoldsNoCore) {
    cpu_set_t all;
    ASSERT_EQ(::sched_getaffinity(0, sizeof all, &all), 0);
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(::sched_getcpu(), &one);
    ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);  // the station's threads inherit it
    auto station = std::make_unique<StationProgram>();
    std::string error;
    const bool started = station->Start(Options(0), error);
    ::sched_setaffinity(0, sizeof all, &all);
    ASSERT_TRUE(started) << error;
    Preferences direct;
    VornClientEngine engine(&direct);
    ASSERT_EQ(engine.Initialise("127.0.0.1", station->ProtocolPort()), kEngineOk);
    std::int32_t user = 0;
    ASSERT_EQ(engine.RegisterUser(user, {}), kEngineOk);
    VornClientEngine::RecommendationList list;
    ASSERT_EQ(engine.GetRecommendations(user, 1, 1, list), kEngineOk);
    ASSERT_EQ(list.size(), 1u);

    SqliteDatabase other;
    ASSERT_TRUE(other.Open(home_ / "station/station.db"));
    ASSERT_TRUE(other.Exec("BEGIN IMMEDIATE"));
    VornClientEngine rater(&direct);
    ASSERT_EQ(rater.Initialise("127.0.0.1", station->ProtocolPort()), kEngineOk);
    const std::int32_t item = list[0]->ItemId();
    auto rating = std::async(std::launch::async, [&rater, user, item] { return rater.SubmitRatings(user, {{item, 4}}); });
    // The station, idle, takes the rating up at once; nothing tells from
    // outside that it waits for the lock, so give it a moment to get there.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    list.clear();
    EXPECT_EQ(engine.GetRecommendations(user, 1, 1, list), kEngineOk);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(2)) << "the recommendation waited for the rating's disk";
    EXPECT_FALSE(stationLog_.Contains("stored 1 ratings of user"));
    EXPECT_EQ(rating.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    ASSERT_TRUE(other.Exec("ROLLBACK"));
    EXPECT_EQ(rating.get(), kEngineOk);
    EXPECT_TRUE(stationLog_.Contains("stored 1 ratings of user"));
    station->Stop();
}

TEST_F(StationEndToEndTest, EverythingWorksWithTheStationAsTheClientsProxy) {
    StationProgram station;
    std::string error;
    ASSERT_TRUE(station.Start(Options(0), error)) << error;
    // No mirror: the client's content-network attempts are refused and it falls
    // back to the origin, all through the proxy.
    auto proxy = ViaProxy(station.MediaPort());
    VornClientEngine engine(proxy.get());
    VornClientEngine::RecommendationList list;
    FirstRecommendation(engine, station.ProtocolPort(), list);
    if (HasFatalFailure()) return;
    EXPECT_GT(DownloadAsTheClient(*list[0], home_ / "a.mp3", proxy.get()), 0);
    EXPECT_TRUE(clientLog_.Contains("Failed to get file using HTTP1.1 and HTTP1.0 with Coral"));
}

TEST_F(StationEndToEndTest, TheClientFollowsTheRedirectOfRedirectMode) {
    StationOptions options = Options(0);
    options.redirectMedia = true;
    StationProgram station;
    std::string error;
    ASSERT_TRUE(station.Start(options, error)) << error;
    Preferences direct;
    VornClientEngine engine(&direct);
    VornClientEngine::RecommendationList list;
    FirstRecommendation(engine, station.ProtocolPort(), list);
    if (HasFatalFailure()) return;
    const std::int32_t bytes = DownloadAsTheClient(*list[0], home_ / "c.mp3", &direct);
    EXPECT_GT(bytes, 0);
    EXPECT_EQ(static_cast<std::uintmax_t>(bytes), std::filesystem::file_size(home_ / "c.mp3"));
}

TEST_F(StationEndToEndTest, TheMirrorServesTheFirstAttemptThroughTheProxy) {
    StationOptions options = Options(0);
    options.cdnPort = FreePort();
    StationProgram station;
    std::string error;
    ASSERT_TRUE(station.Start(options, error)) << error;
    // The client names the mirror by its content-network host on port 8090;
    // the station, as its proxy, takes any such name to its mirror.
    auto proxy = ViaProxy(station.ProtocolPort());
    VornClientEngine engine(proxy.get());
    VornClientEngine::RecommendationList list;
    FirstRecommendation(engine, station.ProtocolPort(), list);
    if (HasFatalFailure()) return;
    EXPECT_GT(DownloadAsTheClient(*list[0], home_ / "b.mp3", proxy.get()), 0);
    EXPECT_FALSE(clientLog_.Contains("Failed to get file using HTTP1.1 with Coral"));
}

}  // namespace
}  // namespace vorn::station::test
