// The listener's ratings from the real player (its outbox and worker) to the
// real vorn-station on a throwaway PostgreSQL server that is restarted, frozen,
// made to refuse every rating, or made to hold a rating inside its commit while
// the station is killed: every rating given ends in the database with the
// value given last, and the outbox ends empty.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "foundation/Preferences.h"
#include "foundation/RegistryKey.h"
#include "player/RatingOutbox.h"
#include "tests/player/PlayerTestSupport.h"
#include "tests/station/support/Mp3Files.h"
#include "tests/station/support/PgCluster.h"
#include "tests/station/support/StationProcess.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/ScopedLog.h"
#include "tests/support/TempDir.h"

namespace vorn::station::test {
namespace {

using std::chrono::milliseconds;

constexpr int kItems = 400;

class AcknowledgedRatingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!cluster_.Installed()) GTEST_SKIP() << cluster_.Problem();
        ASSERT_TRUE(cluster_.Running()) << cluster_.Problem();
        std::filesystem::create_directories(music_);
        for (int n = 0; n < kItems; ++n) {
            ASSERT_TRUE(WriteSilentMp3(music_ + "/track" + std::to_string(n) + ".mp3", 1, 1000 + n));
        }
        RegistryKey key;
        key.Open(kVornKeyPath);
        key.Value("MediaDir").SetText(home_ / "Music/Vorn/");
        key.Value("InstallDir").SetText(home_.Path());
        Preferences::Global().Reload();
    }

    void TearDown() override {
        StopPlayer();
        if (HasFailure()) {
            std::cerr << "---- client log (end)\n" << Tail(clientLog_.Text()) << "---- station log (end)\n"
                      << (station_ ? Tail(station_->Log()) : std::string());
        }
    }

    static std::string Tail(const std::string& text) {
        return text.size() > 6000 ? text.substr(text.size() - 6000) : text;
    }

    // vorn-station on the cluster, on `port` (0: any free one); its port.
    int StartStation(int port = 0) {
        station_ = std::make_unique<StationProcess>(
            std::vector<std::string>{"--music", music_, "--data", home_ / "station", "--database", cluster_.Url(),
                                     "--bind", "127.0.0.1", "--port", std::to_string(port), "--media-port", "0",
                                     "--cdn-port", "0", "--rescan", "0", "--verbose"},
            home_ / ("station-" + std::to_string(++stations_) + ".log"));
        const int found = station_->WaitForPort();
        EXPECT_NE(found, 0) << station_->Log();
        return found;
    }

    // The player as the program starts it: connected, and quick to reconnect.
    void StartPlayer(int port) {
        player_ = std::make_unique<vorn::test::TestPlayer>(ui_);
        player_->SetReconnectDelays(200, 1000);
        ASSERT_EQ(player_->ConnectToServer("127.0.0.1", port), 0);
    }

    // As the window does at Exit: on the UI thread, sending what it can within
    // the shutdown wait.
    void StopPlayer() {
        if (player_) {
            ASSERT_TRUE(ui_.Run([&] { player_.reset(); }));
        }
    }

    void Rate(std::int32_t item, std::int32_t stars) {
        ASSERT_TRUE(ui_.Run([&] { player_->RateItem(item, stars, false); }));
    }

    // What the outbox file holds for the next start.
    std::size_t OutboxOnDisk() const {
        return RatingOutbox(home_ / kRatingOutboxFileName, home_ / "outbox-read.damaged").Size();
    }

    bool OutboxDrained() {
        return player_->WaitUntil([&] { return player_->Outbox().Size() == 0; }, 60000);
    }

    std::vector<std::int32_t> Items() const {
        std::vector<std::int32_t> items;
        std::istringstream rows(cluster_.Query("SELECT id FROM items WHERE present ORDER BY id"));
        for (std::int32_t id = 0; rows >> id;) {
            items.push_back(id);
        }
        return items;
    }

    // item → value, for the listener of the player.
    std::map<std::int32_t, std::int32_t> Stored(std::int32_t listener) const {
        std::map<std::int32_t, std::int32_t> stored;
        std::istringstream rows(
            cluster_.Query("SELECT item, value FROM ratings WHERE listener = " + std::to_string(listener)));
        std::int32_t item = 0, value = 0;
        char bar = 0;
        while (rows >> item >> bar >> value) {
            stored[item] = value;
        }
        return stored;
    }

    // Every rating given is in the database with the value given last.
    ::testing::AssertionResult AllStored(std::int32_t listener, const std::map<std::int32_t, std::int32_t>& given) {
        const std::map<std::int32_t, std::int32_t> stored = Stored(listener);
        int missing = 0, stale = 0;
        std::string examples;
        for (const auto& [item, value] : given) {
            const auto found = stored.find(item);
            if (found == stored.end() || found->second != value) {
                ++(found == stored.end() ? missing : stale);
                if (missing + stale <= 5) {
                    examples += " item " + std::to_string(item) + " rated " + std::to_string(value) + " is " +
                                (found == stored.end() ? "missing" : std::to_string(found->second)) + ";";
                }
            }
        }
        if (missing + stale == 0 && !given.empty()) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << missing + stale << " of the " << given.size()
                                             << " items rated lost their last rating (" << missing << " missing, "
                                             << stale << " with another value):" << examples;
    }

    // Rates item after item at a listener's brisk pace, on the UI thread as the
    // window does, until stopped; every tenth rating changes the rating of an
    // item rated a moment before. Holds what was given last for each item.
    class Listener {
    public:
        Listener(AcknowledgedRatingsTest& test, std::vector<std::int32_t> items)
            : test_(test), items_(std::move(items)), thread_([this] { Run(); }) {}
        ~Listener() { Stop(); }

        const std::map<std::int32_t, std::int32_t>& Stop() {
            stop_ = true;
            if (thread_.joinable()) thread_.join();
            return given_;
        }

    private:
        void Run() {
            std::size_t fresh = 0;
            for (int k = 0; !stop_ && !items_.empty(); ++k) {
                std::int32_t item = 0, stars = 0;
                if (k % 10 == 9 && fresh > 5) {
                    item = items_[(fresh - 5) % items_.size()];
                    stars = given_[item] % 5 + 1;
                } else {
                    item = items_[fresh++ % items_.size()];
                    stars = 1 + k % 5;
                }
                test_.Rate(item, stars);
                given_[item] = stars;
                std::this_thread::sleep_for(milliseconds(8));
            }
        }

        AcknowledgedRatingsTest& test_;
        const std::vector<std::int32_t> items_;
        std::map<std::int32_t, std::int32_t> given_;  // the listener's thread only, until Stop
        std::atomic<bool> stop_{false};
        std::thread thread_;
    };

    PgCluster cluster_;
    vorn::test::IsolatedHome home_;
    vorn::test::ScopedLog clientLog_{0};
    const std::string music_ = home_ / "music";
    std::unique_ptr<StationProcess> station_;
    int stations_ = 0;
    vorn::test::TestUiThread ui_;
    std::unique_ptr<vorn::test::TestPlayer> player_;  // last: goes first, on the UI thread
};

TEST_F(AcknowledgedRatingsTest, ADatabaseRestartedUnderLoadLosesNoRatingAndRatingsGivenAtExitStillArrive) {
    StartPlayer(StartStation());
    const std::vector<std::int32_t> items = Items();
    ASSERT_EQ(items.size(), static_cast<std::size_t>(kItems));
    Listener listener(*this, std::vector<std::int32_t>(items.begin(), items.end() - 5));
    std::this_thread::sleep_for(milliseconds(1500));
    ASSERT_TRUE(cluster_.Restart());
    std::this_thread::sleep_for(milliseconds(2500));
    const std::map<std::int32_t, std::int32_t> given = listener.Stop();
    EXPECT_TRUE(OutboxDrained()) << player_->Outbox().Size() << " ratings still waiting";
    const std::int32_t user = player_->UserId();
    EXPECT_TRUE(AllStored(user, given));
    EXPECT_NE(station_->Log().find("StationService : cannot store"), std::string::npos)
        << "the restart refused no rating";

    // Given just before Exit: sent within the shutdown wait, and acknowledged.
    std::map<std::int32_t, std::int32_t> atExit;
    for (auto item = items.end() - 5; item != items.end(); ++item) {
        Rate(*item, 4);
        atExit[*item] = 4;
    }
    StopPlayer();
    EXPECT_EQ(OutboxOnDisk(), 0u);
    EXPECT_TRUE(AllStored(user, atExit));
}

TEST_F(AcknowledgedRatingsTest, ADatabaseFrozenUnderLoadLosesNoRating) {
    StartPlayer(StartStation());
    Listener listener(*this, Items());
    std::this_thread::sleep_for(milliseconds(1500));
    ASSERT_TRUE(cluster_.Freeze());
    std::this_thread::sleep_for(milliseconds(4000));
    ASSERT_TRUE(cluster_.Thaw());
    std::this_thread::sleep_for(milliseconds(1500));
    const std::map<std::int32_t, std::int32_t> given = listener.Stop();
    EXPECT_TRUE(OutboxDrained()) << player_->Outbox().Size() << " ratings still waiting";
    EXPECT_TRUE(AllStored(player_->UserId(), given));
    EXPECT_NE(station_->Log().find("StationService : cannot store"), std::string::npos)
        << "the freeze refused no rating";
}

// Nothing is stored while every insert fails: the outbox keeps every rating,
// also across an Exit, and the next start sends them once the store takes them.
TEST_F(AcknowledgedRatingsTest, RatingsAStoreRefusesStayInTheOutboxUntilItTakesThem) {
    StartPlayer(StartStation());
    ASSERT_TRUE(cluster_.Sql("CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS "
                             "$$BEGIN RAISE EXCEPTION 'refused by the test'; END$$;"
                             "CREATE TRIGGER refuse BEFORE INSERT OR UPDATE ON ratings "
                             "FOR EACH ROW EXECUTE FUNCTION refuse()"));
    Listener listener(*this, Items());
    std::this_thread::sleep_for(milliseconds(2000));
    const std::map<std::int32_t, std::int32_t> given = listener.Stop();
    ASSERT_TRUE(vorn::test::WaitFor([&] {
        return station_->Log().find("StationService : cannot store") != std::string::npos;
    }, 10000));
    const std::int32_t user = player_->UserId();
    EXPECT_TRUE(Stored(user).empty());
    EXPECT_EQ(player_->Outbox().Size(), given.size());
    StopPlayer();
    EXPECT_EQ(OutboxOnDisk(), given.size());

    ASSERT_TRUE(cluster_.Sql("DROP TRIGGER refuse ON ratings"));
    StartPlayer(station_->WaitForPort());
    EXPECT_TRUE(OutboxDrained()) << player_->Outbox().Size() << " ratings still waiting";
    EXPECT_EQ(player_->UserId(), user);
    EXPECT_TRUE(AllStored(user, given));
}

// The station is killed while its insert waits for a lock: the connection ends
// cleanly (the kernel closes it) before any acknowledgement, so the rating
// stays in the outbox and reaches the next station on the same database.
TEST_F(AcknowledgedRatingsTest, ARatingWhoseStationDiesInsideTheCommitReachesTheNextStation) {
    const int port = StartStation();
    StartPlayer(port);
    const std::int32_t item = Items().front();
    FILE* holder = ::popen((cluster_.PsqlCommand() + " >/dev/null 2>&1").c_str(), "w");
    ASSERT_NE(holder, nullptr);
    std::fputs("BEGIN; LOCK TABLE ratings IN ACCESS EXCLUSIVE MODE;\n", holder);
    std::fflush(holder);
    const auto held = [&] {
        return cluster_.Query("SELECT count(*) FROM pg_locks WHERE relation = 'ratings'::regclass "
                              "AND mode = 'AccessExclusiveLock' AND granted") == "1\n";
    };
    const auto waiting = [&] {
        return cluster_.Query("SELECT count(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock' "
                              "AND query LIKE 'INSERT INTO ratings%'") == "1\n";
    };
    const bool locked = vorn::test::WaitFor(held, 10000);
    if (locked) {
        Rate(item, 3);
    }
    // Killed well within the station's 2 s budget for the store.
    const bool blocked = locked && vorn::test::WaitFor(waiting, 1500);
    station_->Kill();
    std::fputs("ROLLBACK;\n", holder);
    ::pclose(holder);
    ASSERT_TRUE(locked);
    ASSERT_TRUE(blocked) << "the station's insert never waited for the lock";
    EXPECT_EQ(station_->Log().find("cannot store"), std::string::npos);
    ASSERT_TRUE(vorn::test::WaitFor([&] { return clientLog_.Contains("Error Getting Ratings"); }, 10000));
    EXPECT_EQ(player_->Outbox().Size(), 1u);

    ASSERT_EQ(StartStation(port), port);
    EXPECT_TRUE(OutboxDrained());
    const std::string stored = "stored 1 ratings of user " + std::to_string(player_->UserId());
    EXPECT_TRUE(vorn::test::WaitFor([&] { return station_->Log().find(stored) != std::string::npos; }, 10000));
    EXPECT_TRUE(AllStored(player_->UserId(), {{item, 3}}));
}

}  // namespace
}  // namespace vorn::station::test
