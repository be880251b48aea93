// Several real vorn-station programs on loopback addresses of their own, sharing
// one throwaway PostgreSQL server and one key pair, driven by the client's
// engine.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <thread>

#include "foundation/Preferences.h"
#include "server/VornClientEngine.h"
#include "station/store/PostgresStore.h"
#include "station/protocol/StationKey.h"
#include "tests/station/support/Mp3Files.h"
#include "tests/station/support/PgCluster.h"
#include "tests/station/support/RawClient.h"
#include "tests/station/support/StationProcess.h"
#include "tests/station/support/StationTestSupport.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/ScopedLog.h"

namespace vorn::station::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A listener's rating of an item is always the same, so that a rating sent
// twice (the client does not wait for it to be stored) cannot change it.
std::int32_t ValueOf(std::int32_t listener, std::int32_t item) { return 1 + (listener + item) % 5; }

class SharedStationsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!cluster_.Installed()) GTEST_SKIP() << cluster_.Problem();
        ASSERT_TRUE(cluster_.Running()) << cluster_.Problem();
        std::filesystem::create_directories(music_);
        const char* genres[] = {"Folk", "Techno", "Jazz"};
        for (int n = 0; n < 24; ++n) {
            const std::string path = music_ + "/track" + std::to_string(n) + ".mp3";
            ASSERT_TRUE(WriteSilentMp3(path, 1, 100 + n));
            ASSERT_TRUE(TagMp3(path, "Artist " + std::to_string(n % 4), "Song " + std::to_string(n),
                               "Album " + std::to_string(n % 4), genres[n % 3]));
        }
        std::optional<StationKey> key = StationKey::Generate();
        ASSERT_TRUE(key && key->Save(keyFile_));
    }

    // A station on its own loopback address; its port once it serves.
    std::unique_ptr<StationProcess> Start(const std::string& address, int& port) {
        auto station = std::make_unique<StationProcess>(
            std::vector<std::string>{"--music", music_, "--data", home_ / ("data-" + address), "--database",
                                     cluster_.Url(), "--key", keyFile_, "--bind", address, "--port", "0",
                                     "--media-port", "0", "--cdn-port", "0", "--rescan", "0", "--verbose"},
            home_ / ("station-" + address + ".log"));
        port = station->WaitForPort();
        EXPECT_NE(port, 0) << station->Log();
        return station;
    }

    // Every rating a station's log says it stored: (listener, item) → value.
    static void Acknowledged(const std::string& log, std::map<std::pair<int, int>, int>& into) {
        static const std::regex line("stored \\d+ ratings of user (\\d+) :((?: \\d+=\\d)+)");
        static const std::regex pair(" (\\d+)=(\\d)");
        for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator(); ++it) {
            const int listener = std::stoi((*it)[1]);
            const std::string list = (*it)[2];
            for (auto p = std::sregex_iterator(list.begin(), list.end(), pair); p != std::sregex_iterator(); ++p) {
                into[{listener, std::stoi((*p)[1])}] = std::stoi((*p)[2]);
            }
        }
    }

    PgCluster cluster_;
    vorn::test::IsolatedHome home_;
    vorn::test::ScopedLog clientLog_;
    const std::string music_ = home_ / "music";
    const std::string keyFile_ = home_ / "shared-key.pem";
};

TEST_F(SharedStationsTest, AListenerMovesBetweenStationsWithItsRatingsAndRecentItems) {
    int portA = 0, portB = 0;
    auto a = Start("127.0.0.2", portA);
    auto b = Start("127.0.0.3", portB);
    ASSERT_TRUE(portA != 0 && portB != 0);
    // One key pair: a client may take the key from either and talk to both.
    const std::string keyA = Exchange(portA, "GET / HTTP/1.0\r\n\r\n", 5000, "127.0.0.2");
    EXPECT_NE(keyA.find("<pubkey>"), std::string::npos);
    EXPECT_EQ(keyA, Exchange(portB, "GET / HTTP/1.0\r\n\r\n", 5000, "127.0.0.3"));

    Preferences direct;
    VornClientEngine onA(&direct), onB(&direct);
    ASSERT_EQ(onA.Initialise("127.0.0.2", portA), kEngineOk);
    ASSERT_EQ(onB.Initialise("127.0.0.3", portB), kEngineOk);
    std::int32_t user = 0, other = 0;
    ASSERT_EQ(onA.RegisterUser(user, {}), kEngineOk);
    ASSERT_EQ(onB.RegisterUser(other, {}), kEngineOk);
    EXPECT_EQ(user, 1);
    EXPECT_EQ(other, 2);  // one sequence of ids

    // Registered on A, rates on B what A offered.
    VornClientEngine::RecommendationList list;
    ASSERT_EQ(onA.GetRecommendations(user, 1, 4, list), kEngineOk);
    ASSERT_EQ(list.size(), 4u);
    std::map<std::int32_t, std::int32_t> rated;
    for (const auto& rec : list) {
        rated[rec->ItemId()] = ValueOf(user, rec->ItemId());
    }
    ASSERT_EQ(onB.SubmitRatings(user, rated), kEngineOk);
    ASSERT_TRUE(vorn::test::WaitFor([&] { return b->Log().find("stored 4 ratings of user 1") != std::string::npos; }));

    // Back and forth: neither station offers a rated item, and neither repeats
    // what the other offered just before (20 items are left, so the last 10
    // offered count as recent).
    std::set<std::int32_t> previous;
    for (int round = 0; round < 8; ++round) {
        VornClientEngine& engine = round % 2 == 0 ? onA : onB;
        list.clear();
        ASSERT_EQ(engine.GetRecommendations(user, 1, 2, list), kEngineOk);
        ASSERT_EQ(list.size(), 2u);
        std::set<std::int32_t> offered;
        for (const auto& rec : list) {
            EXPECT_EQ(rated.count(rec->ItemId()), 0u) << "rated item " << rec->ItemId() << " offered in round " << round;
            EXPECT_EQ(previous.count(rec->ItemId()), 0u) << "item " << rec->ItemId() << " offered twice in a row";
            offered.insert(rec->ItemId());
        }
        previous = offered;
    }
}

// A listener who rated the whole collection keeps hearing the tracks rated 4
// and 5 from both stations, each told why, in one rotation: any 8 picks in a
// row are the 8 loved tracks, whichever station made them; 1 and 2 stars
// never come back.
TEST_F(SharedStationsTest, ALoverOfTheWholeCollectionHearsTheLovedTracksInRotationFromEveryStation) {
    int portA = 0, portB = 0;
    auto a = Start("127.0.0.2", portA);
    auto b = Start("127.0.0.3", portB);
    ASSERT_TRUE(portA != 0 && portB != 0);
    Preferences direct;
    VornClientEngine onA(&direct), onB(&direct);
    ASSERT_EQ(onA.Initialise("127.0.0.2", portA), kEngineOk);
    ASSERT_EQ(onB.Initialise("127.0.0.3", portB), kEngineOk);
    std::int32_t user = 0;
    ASSERT_EQ(onA.RegisterUser(user, {}), kEngineOk);

    // Songs 0, 1, 6, 7, ... are loved (5 and 4 stars), 2, 8, ... rated 3, the rest 1 or 2.
    VornClientEngine::RecommendationList list;
    ASSERT_EQ(onA.GetRecommendations(user, 1, 24, list), kEngineOk);
    ASSERT_EQ(list.size(), 24u);
    std::map<std::int32_t, std::int32_t> rated;
    for (const auto& rec : list) {
        const int song = std::stoi(rec->Details().at("Title").substr(5));
        rated[rec->ItemId()] = song % 6 == 0 ? 5 : song % 6 == 1 ? 4 : song % 6 == 2 ? 3 : song % 6 == 3 ? 2 : 1;
    }
    ASSERT_EQ(onB.SubmitRatings(user, rated), kEngineOk);
    ASSERT_TRUE(vorn::test::WaitFor([&] { return b->Log().find("stored 24 ratings of user 1") != std::string::npos; }));

    std::vector<std::int32_t> picks;
    for (int round = 0; round < 10; ++round) {
        list.clear();
        ASSERT_EQ((round % 2 == 0 ? onA : onB).GetRecommendations(user, 1, 3, list), kEngineOk);
        ASSERT_EQ(list.size(), 3u) << "round " << round;
        for (const auto& rec : list) {
            const std::int32_t stars = rated[rec->ItemId()];
            EXPECT_GE(stars, 4) << "item " << rec->ItemId() << " came back";
            EXPECT_EQ(rec->Details().at("Why"), "Back in rotation: you rated it " + std::to_string(stars) + " stars");
            picks.push_back(rec->ItemId());
        }
    }
    for (std::size_t at = 0; at + 8 <= picks.size(); ++at) {
        EXPECT_EQ(std::set<std::int32_t>(picks.begin() + at, picks.begin() + at + 8).size(), 8u) << "picks from " << at;
    }
    EXPECT_EQ(a->Log().find("nothing left to recommend"), std::string::npos);
    EXPECT_EQ(b->Log().find("nothing left to recommend"), std::string::npos);

    // Nothing loved any more: the threes stand in, and once they fall too
    // both stations answer with nothing, and only then say so in their logs.
    std::map<std::int32_t, std::int32_t> fallen;
    for (const auto& [item, stars] : rated) {
        if (stars >= 4) fallen[item] = 2;
    }
    ASSERT_EQ(onA.SubmitRatings(user, fallen), kEngineOk);
    ASSERT_TRUE(vorn::test::WaitFor([&] { return a->Log().find("stored 8 ratings of user 1") != std::string::npos; }));
    list.clear();
    ASSERT_EQ(onB.GetRecommendations(user, 1, 10, list), kEngineOk);
    ASSERT_EQ(list.size(), 4u);
    for (const auto& rec : list) {
        EXPECT_EQ(rated[rec->ItemId()], 3);
        EXPECT_EQ(rec->Details().at("Why"), "Back in rotation: you rated it 3 stars");
        fallen[rec->ItemId()] = 1;
    }
    ASSERT_EQ(onB.SubmitRatings(user, fallen), kEngineOk);
    ASSERT_TRUE(vorn::test::WaitFor([&] { return b->Log().find("stored 12 ratings of user 1") != std::string::npos; }));
    for (VornClientEngine* engine : {&onA, &onB}) {
        list.clear();
        ASSERT_EQ(engine->GetRecommendations(user, 1, 3, list), kEngineOk);
        EXPECT_TRUE(list.empty());
    }
    EXPECT_TRUE(vorn::test::WaitFor([&] {
        return a->Log().find("nothing left to recommend to user 1") != std::string::npos &&
               b->Log().find("nothing left to recommend to user 1") != std::string::npos;
    }));
}

TEST_F(SharedStationsTest, AStationKilledMidLoadLosesNoAcknowledgedRatingAndTheOtherServesOn) {
    int portA = 0, portB = 0;
    auto a = Start("127.0.0.2", portA);
    auto b = Start("127.0.0.3", portB);
    ASSERT_TRUE(portA != 0 && portB != 0);

    std::atomic<bool> killed{false};
    std::atomic<int> servedByBAfterKill{0};
    std::atomic<int> errors{0};
    const auto end = Clock::now() + milliseconds(4000);
    const auto client = [&](int number) {
        Preferences direct;
        VornClientEngine onA(&direct), onB(&direct);
        if (onA.Initialise("127.0.0.2", portA) != kEngineOk || onB.Initialise("127.0.0.3", portB) != kEngineOk) {
            ++errors;
            return;
        }
        bool useA = number % 2 == 0;
        std::int32_t user = 0;
        if ((useA ? onA : onB).RegisterUser(user, {}) != kEngineOk) {
            ++errors;
            return;
        }
        for (int step = 0; step < 20000 && Clock::now() < end; ++step) {
            const bool afterKill = killed.load();
            VornClientEngine& engine = useA ? onA : onB;
            VornClientEngine::RecommendationList list;
            if (engine.GetRecommendations(user, 1, 1, list) != kEngineOk) {
                useA = !useA && !afterKill;  // the client's fail-over: the station that still answers
                continue;
            }
            if (!useA && afterKill) {
                ++servedByBAfterKill;
            }
            if (!list.empty() && step % 3 == 0) {
                engine.SubmitRatings(user, {{list[0]->ItemId(), ValueOf(user, list[0]->ItemId())}});
            }
        }
    };
    std::vector<std::thread> clients;
    for (int number = 0; number < 4; ++number) {
        clients.emplace_back(client, number);
    }
    std::this_thread::sleep_for(milliseconds(1500));
    a->Kill();
    killed = true;
    for (std::thread& thread : clients) {
        thread.join();
    }
    EXPECT_EQ(errors.load(), 0);
    EXPECT_GT(servedByBAfterKill.load(), 0);
    ASSERT_TRUE(b->Running());

    std::map<std::pair<int, int>, int> acknowledged;
    Acknowledged(a->Log(), acknowledged);
    const std::size_t onA = acknowledged.size();
    Acknowledged(b->Log(), acknowledged);
    EXPECT_GT(onA, 0u);
    EXPECT_GT(acknowledged.size(), onA);
    std::string error;
    std::unique_ptr<PostgresStore> store = PostgresStore::Open(cluster_.Url(), error);
    ASSERT_TRUE(store) << error;
    std::map<std::pair<int, int>, int> stored;
    for (const RatingRecord& rating : store->LoadRatings()) {
        stored[{rating.listener, rating.item}] = rating.value;
    }
    for (const auto& [key, value] : acknowledged) {
        const auto found = stored.find(key);
        EXPECT_TRUE(found != stored.end() && found->second == value)
            << "acknowledged rating of item " << key.second << " by user " << key.first << " is missing";
    }
}

TEST_F(SharedStationsTest, TheDatabaseRestartedUnderLoadFailsRequestsBrieflyAndTheStationRecovers) {
    int port = 0;
    auto station = Start("127.0.0.2", port);
    ASSERT_NE(port, 0);
    Preferences direct;
    VornClientEngine engine(&direct);
    ASSERT_EQ(engine.Initialise("127.0.0.2", port), kEngineOk);
    std::int32_t user = 0;
    ASSERT_EQ(engine.RegisterUser(user, {}), kEngineOk);

    std::mutex mutex;  // guards the three below
    int failures = 0;
    Clock::time_point lastSuccess{};
    Clock::duration longest{};
    std::atomic<bool> stop{false};
    std::thread load([&] {
        int rounds = 0;
        while (!stop) {
            const auto start = Clock::now();
            VornClientEngine::RecommendationList list;
            const bool ok = engine.GetRecommendations(user, 1, 1, list) == kEngineOk;
            if (ok && !list.empty() && ++rounds % 4 == 0) {
                engine.SubmitRatings(user, {{list[0]->ItemId(), ValueOf(user, list[0]->ItemId())}});
            }
            std::lock_guard lock(mutex);
            longest = std::max(longest, Clock::now() - start);
            failures += ok ? 0 : 1;
            lastSuccess = ok ? Clock::now() : lastSuccess;
            if (!ok) std::this_thread::sleep_for(milliseconds(20));
        }
    });
    std::this_thread::sleep_for(milliseconds(500));
    ASSERT_TRUE(cluster_.Stop());
    std::this_thread::sleep_for(milliseconds(1500));
    int failuresWhileDown = 0;
    {
        std::lock_guard lock(mutex);
        failuresWhileDown = failures;
    }
    ASSERT_TRUE(cluster_.Start());
    const auto restarted = Clock::now();
    const bool recovered = vorn::test::WaitFor(
        [&] {
            std::lock_guard lock(mutex);
            return lastSuccess > restarted;
        },
        15000);
    stop = true;
    load.join();

    EXPECT_GT(failuresWhileDown, 0);
    EXPECT_TRUE(recovered) << station->Log();
    EXPECT_LT(longest, milliseconds(5000));  // a hang would show here, well past the 2 s bound
    EXPECT_TRUE(station->Running());
    const std::string log = station->Log();
    EXPECT_NE(log.find("StationService : cannot read the ratings of user " + std::to_string(user)), std::string::npos);
    EXPECT_NE(log.find("connected to the database again"), std::string::npos) << log;
}

}  // namespace
}  // namespace vorn::station::test
