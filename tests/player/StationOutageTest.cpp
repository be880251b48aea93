// The player against the real vorn-station in a child process, which is killed
// and started again on the same port: the ratings given meanwhile and the music
// the listener waits for reach the station within 10 s of its return, however
// long it was away and however often the listener pressed play or forward. The
// player runs with its real reconnect schedule. And, with the station up, a
// listener who rated everything hears the loved track again as the station
// puts it back in rotation.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
#include <thread>

#include "foundation/Preferences.h"
#include "foundation/RegistryKey.h"
#include "library/VornPlaylist.h"
#include "library/VornPlaylistItem.h"
#include "station/store/SqliteDatabase.h"
#include "tests/player/PlayerTestSupport.h"
#include "tests/station/support/Mp3Files.h"
#include "tests/station/support/StationProcess.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/ScopedLog.h"
#include "tests/support/TempDir.h"

namespace vorn {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kReceived = "Recommendations Received";
constexpr const char* kCountdown = "Offline - retrying in ";
// The longest a rating or a wanted request may wait once the station answers
// again: one look at its port every 5 s, then the key exchange and the
// requests, with room for a slow machine.
constexpr int kBackWithinMs = 10000 + 5000;

int FreePort() {
    test::LoopbackServer probe([](test::LoopbackServer::Connection&) {});
    const int port = probe.Port();
    probe.Stop();
    return port;
}

std::size_t Occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

class StationOutageTest : public ::testing::Test {
protected:
    StationOutageTest() {
        RegistryKey key;
        key.Open(kVornKeyPath);
        key.Value("MediaDir").SetText(home_ / "Music/Vorn/");
        key.Value("InstallDir").SetText(home_.Path());
        key.Close();
        Preferences::Global().Reload();
        std::filesystem::create_directories(music_);
        for (int n = 0; n < 12; ++n) {
            const std::string path = music_ + "/track" + std::to_string(n) + ".mp3";
            EXPECT_TRUE(station::test::WriteSilentMp3(path, 2, 100 + n));
            EXPECT_TRUE(station::test::TagMp3(path, "Artist " + std::to_string(n % 4), "Song " + std::to_string(n),
                                              "Album " + std::to_string(n % 4), "Folk"));
        }
    }
    ~StationOutageTest() override {
        if (player_) {
            EXPECT_TRUE(ui_.Run([&] { player_.reset(); }));
        }
        if (HasFailure()) {
            std::cerr << "---- player log\n" << log_.Text() << "---- station log\n"
                      << test::ReadFile(home_ / "station.log");
        }
    }

    // The station on port_ with the same data each time, once it listens.
    void StartStation() {
        station_ = std::make_unique<station::test::StationProcess>(
            std::vector<std::string>{"--music", music_, "--data", home_ / "station", "--bind", "127.0.0.1", "--port",
                                     std::to_string(port_), "--media-port", "0", "--cdn-port", "0", "--rescan", "0"},
            home_ / "station.log");
        ASSERT_EQ(station_->WaitForPort(), port_) << station_->Log();
    }
    // The player connected, its first track playing and the rest of its four
    // downloaded.
    void StartPlaying() {
        ASSERT_NO_FATAL_FAILURE(StartStation());
        player_ = std::make_unique<test::TestPlayer>(ui_);
        ASSERT_EQ(player_->ConnectToServer("127.0.0.1", port_), 0);
        Ui([&] { player_->Play(); });
        ASSERT_TRUE(player_->WaitUntil([&] {
            return player_->CurrentItem() != nullptr && player_->Playlist().UnplayedCount(true) == 4;
        })) << "the first four tracks did not arrive";
    }
    // As above; the station then killed.
    void PlayThenLoseTheStation() {
        ASSERT_NO_FATAL_FAILURE(StartPlaying());
        station_->Kill();
    }
    // As the listener's star with moving on: two stars for the current track.
    std::int32_t RateCurrentTwo() {
        std::int32_t id = 0;
        Ui([&] {
            VornPlaylistItem* item = player_->CurrentItem();
            if (item == nullptr) return;
            id = item->ItemId();
            item->SetRating(2);
            player_->RateItem(id, 2, true);
        });
        EXPECT_NE(id, 0) << "nothing was playing";
        return id;
    }
    void Ui(const std::function<void()>& work) { ASSERT_TRUE(ui_.Run(work)); }
    // Waits out the outage (from the kill), pressing play and forward every
    // `pressEverySeconds` (0: never).
    void Wait(std::chrono::seconds outage, int pressEverySeconds, Clock::time_point killed) {
        int presses = 0;
        while (Clock::now() - killed < outage) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            if (pressEverySeconds > 0 && Clock::now() - killed > std::chrono::seconds(pressEverySeconds * (presses + 1))) {
                ++presses;
                Ui([&] {
                    if (presses % 2 == 0) {
                        player_->Next();
                    } else {
                        player_->Play();
                    }
                });
            }
        }
    }
    // The station's ratings of this listener: item -> stars.
    std::map<std::int32_t, std::int32_t> StationRatings() {
        std::map<std::int32_t, std::int32_t> ratings;
        station::SqliteDatabase db;
        if (!db.Open(home_ / "station/station.db")) return ratings;
        station::SqliteStatement query = db.Prepare("SELECT item, value FROM ratings WHERE listener = ?");
        query.Bind(1, player_->UserId());
        while (query.Step()) ratings[static_cast<std::int32_t>(query.Int(0))] = static_cast<std::int32_t>(query.Int(1));
        return ratings;
    }
    // Starts the station again and waits, bounded, until it has every rating
    // given while it was away and (when `wanted`) the recommendations the
    // player wanted went out: the seconds that took, or -1.
    double ComeBackAndCatchUp(const std::map<std::int32_t, std::int32_t>& given, bool wanted = true) {
        const std::size_t received = Occurrences(log_.Text(), kReceived);
        EXPECT_EQ(player_->Outbox().Size(), given.size()) << "the ratings were not kept while the station was away";
        EXPECT_FALSE(player_->IsOnline());
        StartStation();
        const auto back = Clock::now();
        const bool caughtUp = test::WaitFor(
            [&] {
                const std::map<std::int32_t, std::int32_t> ratings = StationRatings();
                const bool rated = std::all_of(given.begin(), given.end(), [&](const auto& entry) {
                    const auto found = ratings.find(entry.first);
                    return found != ratings.end() && found->second == entry.second;
                });
                return rated && (!wanted || Occurrences(log_.Text(), kReceived) > received);
            },
            kBackWithinMs);
        const double seconds = std::chrono::duration<double>(Clock::now() - back).count();
        std::cout << "[ figures  ] caught up " << seconds << " s after the station was back (at most "
                  << kBackWithinMs / 1000 << ")\n";
        EXPECT_TRUE(caughtUp) << "the ratings or the wanted recommendations were not at the station within "
                              << kBackWithinMs << " ms of its return";
        return caughtUp ? seconds : -1;
    }
    // The countdown the display showed while offline: every figure it gave.
    std::vector<int> Countdown() {
        std::vector<int> seconds;
        for (const std::string& text : player_->Texts()) {
            if (text.rfind(kCountdown, 0) == 0) seconds.push_back(std::stoi(text.substr(std::string(kCountdown).size())));
        }
        return seconds;
    }

    test::IsolatedHome home_;
    test::ScopedLog log_{0};
    std::string music_ = home_ / "music";
    int port_ = FreePort();
    test::TestUiThread ui_;
    std::unique_ptr<station::test::StationProcess> station_;
    std::unique_ptr<test::TestPlayer> player_;
};

#ifndef VORN_LONG_OUTAGE

TEST_F(StationOutageTest, AfterFifteenSecondsAwayWithoutPressesTheRatingGoesOutOnceItIsBack) {
    ASSERT_NO_FATAL_FAILURE(PlayThenLoseTheStation());
    const auto killed = Clock::now();
    // Four stars for the track that plays on: the player finds the station gone.
    std::map<std::int32_t, std::int32_t> given;
    Ui([&] {
        VornPlaylistItem* item = player_->CurrentItem();
        given[item->ItemId()] = 4;
        item->SetRating(4);
        player_->RateItem(item->ItemId(), 4, true);
    });
    ASSERT_TRUE(test::WaitFor([&] { return !player_->IsOnline(); }, 15000)) << "the loss went unnoticed";
    EXPECT_NE(player_->CurrentItem(), nullptr) << "the library stopped playing";
    // Meanwhile it only looks at the port, which logs nothing.
    const std::size_t tries = Occurrences(log_.Text(), "VornPlayer : Connecting again to");
    Wait(std::chrono::seconds(15), 0, killed);
    EXPECT_EQ(Occurrences(log_.Text(), "VornPlayer : Connecting again to"), tries);

    EXPECT_GE(ComeBackAndCatchUp(given, false), 0);
    EXPECT_EQ(player_->ConnectionChanges(), (std::vector<std::string>{"online", "offline", "online"}));
    EXPECT_EQ(Occurrences(log_.Text(), "VornPlayer : Connecting again to"), tries + 1);
    EXPECT_EQ(Occurrences(log_.Text(), "INFO : Reconnected"), 1u);
}

TEST_F(StationOutageTest, PressesWhileItIsAwayPutNothingOffAndTheWaitingListenerHearsMusicOnceItIsBack) {
    ASSERT_NO_FATAL_FAILURE(PlayThenLoseTheStation());
    const auto killed = Clock::now();
    // Every track rated and left: nothing plays, the listener waits.
    std::map<std::int32_t, std::int32_t> given;
    for (int track = 0; track < 4; ++track) given[RateCurrentTwo()] = 2;
    EXPECT_EQ(player_->CurrentItem(), nullptr);
    Wait(std::chrono::seconds(15), 3, killed);

    // The countdown shows the next look at the station, presses or not.
    const std::vector<int> countdown = Countdown();
    ASSERT_FALSE(countdown.empty()) << "no countdown while nothing played";
    EXPECT_LE(*std::max_element(countdown.begin(), countdown.end()), 5);
    EXPECT_GE(Occurrences(log_.Text(), "VornPlayer : Connecting again to"), 3u) << "the presses did not try at once";

    EXPECT_GE(ComeBackAndCatchUp(given), 0);
    ASSERT_TRUE(player_->WaitUntil([&] { return player_->CurrentItem() != nullptr; }))
        << "the waiting listener got no music";
    std::int32_t playing = 0;
    Ui([&] { playing = player_->CurrentItem()->ItemId(); });
    EXPECT_EQ(given.count(playing), 0u) << "a track rated while the station was away came back";
}

// Four tracks, all rated: the station puts the one loved here back in rotation,
// and it plays again by itself, also for a listener left waiting. The station
// still has five stars for a track given two here since (as after rating it on
// another machine): never played again, its two stars go out again.
TEST_F(StationOutageTest, WithEverythingRatedTheLovedTrackPlaysAgainWithoutAPress) {
    for (int n = 4; n < 12; ++n) std::filesystem::remove(music_ + "/track" + std::to_string(n) + ".mp3");
    ASSERT_NO_FATAL_FAILURE(StartPlaying());
    // On the window thread, as WaitUntil asks.
    const auto playing = [&] { return player_->CurrentItem() != nullptr ? player_->CurrentItem()->ItemId() : 0; };
    // Rated as each plays (`send`: as the listener does; otherwise only here),
    // and played to its end.
    const auto rateAndEnd = [&](std::int32_t stars, bool send = true) {
        Ui([&] {
            VornPlaylistItem* item = player_->CurrentItem();
            item->SetRating(stars);
            if (send) player_->RateItem(item->ItemId(), stars, false);
            player_->MediaEnded();
        });
    };
    std::int32_t loved = 0;
    ASSERT_TRUE(player_->WaitUntil([&] { return (loved = playing()) != 0; }));
    rateAndEnd(5);
    std::int32_t changed = 0;
    ASSERT_TRUE(player_->WaitUntil([&] { return (changed = playing()) != 0; }));
    Ui([&] { player_->RateItem(changed, 5, false); });
    ASSERT_TRUE(test::WaitFor([&] { return StationRatings()[changed] == 5; }, 15000));
    rateAndEnd(2, false);
    for (std::int32_t stars : {1, 2}) {
        ASSERT_TRUE(player_->WaitUntil([&] { return playing() != 0; }));
        rateAndEnd(stars);
    }

    ASSERT_TRUE(player_->WaitUntil([&] { return playing() == loved; })) << "the loved track did not come back";
    const std::string lovedFile = player_->LoadedFile();
    EXPECT_NE(lovedFile.find("/5stars/"), std::string::npos) << lovedFile;
    // Once it has ended nothing is left to play: the listener waits until the
    // station sends it again, twice over.
    for (int round = 0; round < 2; ++round) {
        Ui([&] { player_->MediaEnded(); });
        ASSERT_TRUE(player_->WaitUntil([&] { return playing() == loved; }))
            << "the waiting listener did not hear the loved track again, round " << round;
        EXPECT_EQ(player_->LoadedFile(), lovedFile);
    }
    EXPECT_TRUE(player_->ShowedText("Please Wait. Retrieving Media"));

    EXPECT_TRUE(log_.Contains("INFO : Item already in playlist " + std::to_string(loved)));
    EXPECT_TRUE(log_.Contains("Received rated item in Rec request " + std::to_string(changed) + " 2"));
    EXPECT_TRUE(test::WaitFor([&] { return StationRatings()[changed] == 2; }, 15000))
        << "the two stars given here did not go out again";
}

#else

// Five minutes away, with presses now and then: the pause between the looks
// at the station never grows.
TEST_F(StationOutageTest, AfterFiveMinutesAwayTheRatingsAndTheNextTracksGoOutOnceItIsBack) {
    ASSERT_NO_FATAL_FAILURE(PlayThenLoseTheStation());
    const auto killed = Clock::now();
    std::map<std::int32_t, std::int32_t> given;
    for (int track = 0; track < 4; ++track) given[RateCurrentTwo()] = 2;
    Wait(std::chrono::minutes(5), 40, killed);

    const std::vector<int> countdown = Countdown();
    ASSERT_FALSE(countdown.empty());
    EXPECT_LE(*std::max_element(countdown.begin(), countdown.end()), 5);
    EXPECT_GE(ComeBackAndCatchUp(given), 0);
    EXPECT_TRUE(player_->WaitUntil([&] { return player_->CurrentItem() != nullptr; }));
}

#endif

}  // namespace
}  // namespace vorn
