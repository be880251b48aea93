#include "player/VornPlayer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <thread>

#include "foundation/Preferences.h"
#include "foundation/RegistryKey.h"
#include "library/VornPlaylist.h"
#include "tests/library/LibraryTestSupport.h"
#include "tests/player/PlayerTestSupport.h"
#include "tests/support/ScopedLog.h"

namespace fs = std::filesystem;

namespace vorn {
namespace {

using test::PlayerStation;
using test::TestPlayer;
using test::TestUiThread;

constexpr const char* kWaitPlay = "Please Wait.....Retrieving Media";

// "pl.txt" with restored items (id, rating) whose files lie in their rating folders.
void WriteLibrary(const std::string& media, std::vector<std::pair<int, int>> idsAndRatings) {
    const char* folders[] = {"UnRated", "1star", "2stars", "3stars", "4stars", "5stars"};
    std::string content;
    for (auto [id, rating] : idsAndRatings) {
        content += test::MakeStoredItem(id, media + folders[rating] + "/", rating)->ToXml().Text() + "\n";
    }
    test::WriteFile("pl.txt", content);
}

class VornPlayerTest : public ::testing::Test {
protected:
    VornPlayerTest() {
        RegistryKey key;
        key.Open(kVornKeyPath);
        key.Value("MediaDir").SetText(media_);
        key.Value("InstallDir").SetText(home_.Path());
        Preferences::Global().Reload();
    }
    ~VornPlayerTest() override {
        Destroy();
        if (HasFailure()) std::cerr << "---- log\n" << log_.Text();
    }

    TestPlayer& Start(bool connect = true) {
        player_ = std::make_unique<TestPlayer>(ui_);
        if (connect) {
            EXPECT_EQ(player_->ConnectToServer("127.0.0.1", station_.Port()), 0);
        }
        return *player_;
    }
    // The player is destroyed on the UI thread, as the window destroys it.
    void Destroy() {
        if (player_) {
            ASSERT_TRUE(ui_.Run([&] { player_.reset(); }));
        }
    }
    template <typename F>
    auto OnUi(F work) {
        decltype(work()) result{};
        EXPECT_TRUE(ui_.Run([&] { result = work(); }));
        return result;
    }
    VornPlaylistItem* Current() {
        return OnUi([&] { return player_->CurrentItem(); });
    }
    std::int32_t CurrentId() {
        return OnUi([&] { return player_->CurrentItem() ? player_->CurrentItem()->ItemId() : -1; });
    }
    // Waits until the current item is the one with that id and is loaded.
    bool WaitPlaying(std::int32_t id) {
        return player_->WaitUntil([&] {
            VornPlaylistItem* item = player_->CurrentItem();
            return item != nullptr && item->ItemId() == id && player_->LoadedFile() == item->FullPath();
        });
    }
    // Waits until some item is current and loaded; its id, or -1.
    std::int32_t WaitPlayingAny(std::int32_t other = -1) {
        std::int32_t id = -1;
        player_->WaitUntil([&] {
            VornPlaylistItem* item = player_->CurrentItem();
            if (item == nullptr || item->ItemId() == other || player_->LoadedFile() != item->FullPath()) return false;
            id = item->ItemId();
            return true;
        });
        return id;
    }
    bool WaitRated(std::int32_t id, std::int32_t rating) {
        return test::WaitFor([&] {
            auto ratings = station_.Ratings();
            return ratings.count(id) != 0 && ratings[id] == rating;
        }, 15000);
    }
    std::int32_t Unplayed() {
        return OnUi([&] { return player_->Playlist().UnplayedCount(false); });
    }

    test::IsolatedHome home_;
    test::ScopedLog log_{0};
    std::string media_ = home_ / "Music/Vorn/";
    PlayerStation station_;
    TestUiThread ui_;
    std::unique_ptr<TestPlayer> player_;
};

TEST_F(VornPlayerTest, FirstConnectRegistersTheListenerAndKeepsTheId) {
    TestPlayer& player = Start();
    EXPECT_EQ(player.UserId(), 42);
    const auto texts = player.Texts();
    ASSERT_GE(texts.size(), 3u);
    EXPECT_EQ(texts[0], "Connecting                         Connecting");
    EXPECT_EQ(texts[0].size(), 45u);
    EXPECT_EQ(texts[1], "          Connected");
    EXPECT_EQ(texts[2], "Welcome to Vorn. Please press the play button to begin.");
    RegistryKey key;
    key.Open(kVornKeyPath);
    EXPECT_EQ(key.Value("user_id_0").AsText(), "42");
    Destroy();

    Start();  // the next start uses the stored id
    EXPECT_EQ(station_.Registrations(), 1);
    EXPECT_EQ(player_->UserId(), 42);
}

TEST_F(VornPlayerTest, ConnectFailuresShowTheirTexts) {
    Start(false);
    {
        PlayerStation old;
        old.peer.SetKeyExchangeReply(
            "<type>PublicKeyResponse</type><pubkey>" + old.peer.PublicKeyBase64() +
            "</pubkey><builds><build><platform>windows</platform><min>14</min><latest>15</latest></build></builds>");
        EXPECT_EQ(player_->ConnectToServer("127.0.0.1", old.Port()), 7);
    }
    EXPECT_TRUE(player_->ShowedText("Update needed, you are running an old version of Vorn please update"));
    EXPECT_TRUE(log_.Contains("VornPlayer Error : Update needed, you are running an old version of Vorn please update << Error : 7 >>"));
    std::uint16_t closed = 0;
    {
        test::LoopbackServer gone([](test::LoopbackServer::Connection&) {});
        closed = gone.Port();
    }
    EXPECT_EQ(player_->ConnectToServer("127.0.0.1", closed), 1);
    EXPECT_TRUE(player_->ShowedText(
        "Error connecting to the Vorn server. Please check your internet and firewall settings and restart."));
    EXPECT_TRUE(log_.Contains(
        "VornPlayer Error : Error connecting to Vorn server. Please check your internet connection and restart Vorn << Error : 1 >>"));
}

TEST_F(VornPlayerTest, PlayWithAnEmptyLibraryWaitsThenStartsByItself) {
    TestPlayer& player = Start();
    EXPECT_FALSE(OnUi([&] { return player.Play(); }));
    EXPECT_TRUE(player.ShowedText(kWaitPlay));
    const std::int32_t first = WaitPlayingAny();
    ASSERT_GE(first, 100);
    EXPECT_LE(first, 103);
    EXPECT_GE(player.Starts(), 1);
    EXPECT_EQ(station_.RequestedCounts().front(), 4);
    const std::string n = std::to_string(first);
    EXPECT_TRUE(player.ShowedText("Artist " + n + " - Title " + n));
    EXPECT_TRUE(log_.Contains("INFO : VornPlayer : 4Recommendations Received"));
    EXPECT_TRUE(log_.Contains("FINE : Playing Next Item"));
    EXPECT_EQ(player.callsOffUiThread, 0);
    EXPECT_NE(player.LoadedFile().find("/UnRated/track" + n + ".mp3"), std::string::npos);
}

TEST_F(VornPlayerTest, ARatingOfFourPlaysOnAndARatingOfTwoMovesOn) {
    TestPlayer& player = Start();
    OnUi([&] { return player.Play(); });
    const std::int32_t first = WaitPlayingAny();
    ASSERT_GE(first, 100);
    ASSERT_TRUE(player.WaitUntil([&] { return player.Playlist().UnplayedCount(true) >= 2; }));

    OnUi([&] {
        player.CurrentItem()->SetRating(4);
        return player.RateItem(first, 4, true);
    });
    ASSERT_TRUE(WaitRated(first, 4));
    EXPECT_EQ(CurrentId(), first);  // still playing

    OnUi([&] {
        player.CurrentItem()->SetRating(2);
        return player.RateItem(first, 2, true);
    });
    ASSERT_TRUE(WaitRated(first, 2));
    EXPECT_GE(WaitPlayingAny(first), 100);
    // The rated file is filed when playback moved on.
    EXPECT_TRUE(fs::exists(media_ + "2stars/track" + std::to_string(first) + ".mp3"));
}

TEST_F(VornPlayerTest, AnUnratedItemIsNeverSkipped) {
    TestPlayer& player = Start();
    OnUi([&] { return player.Play(); });
    const std::int32_t first = WaitPlayingAny();
    ASSERT_GE(first, 100);
    EXPECT_FALSE(OnUi([&] { return player.Next(); }));
    EXPECT_EQ(player.Asks(), 1);
    EXPECT_EQ(CurrentId(), first);

    // Its end asks for a rating and waits.
    EXPECT_FALSE(OnUi([&] { return player.MediaEnded(); }));
    EXPECT_EQ(player.Asks(), 2);
    EXPECT_EQ(CurrentId(), first);
    // Any rating now moves on, even a good one.
    ASSERT_TRUE(player.WaitUntil([&] { return player.Playlist().UnplayedCount(true) >= 2; }));
    OnUi([&] {
        player.CurrentItem()->SetRating(5);
        return player.RateItem(first, 5, true);
    });
    EXPECT_NE(CurrentId(), first);
    EXPECT_TRUE(WaitRated(first, 5));
}

TEST_F(VornPlayerTest, MoreIsRequestedOnlyWhenTwoOrFewerAreLeft) {
    TestPlayer& player = Start();
    OnUi([&] { return player.Play(); });
    ASSERT_GE(WaitPlayingAny(), 100);
    ASSERT_TRUE(player.WaitUntil([&] { return player.Playlist().UnplayedCount(true) == 4; }));
    ASSERT_EQ(station_.RequestedCounts().size(), 1u);

    const auto rateAndMoveOn = [&] {
        const std::int32_t id = CurrentId();
        OnUi([&] {
            player.CurrentItem()->SetRating(2);
            return player.RateItem(id, 2, true);
        });
        EXPECT_TRUE(WaitRated(id, 2));
        EXPECT_NE(CurrentId(), id);
    };
    rateAndMoveOn();  // 3 unrated left: no request
    EXPECT_EQ(station_.RequestedCounts().size(), 1u);

    rateAndMoveOn();  // 2 left: one request, for 4 minus what is left when it is sent
    ASSERT_TRUE(test::WaitFor([&] { return station_.RequestedCounts().size() == 2; }, 15000));
    EXPECT_EQ(station_.RequestedCounts()[1], 2);
}

TEST_F(VornPlayerTest, AFailedDownloadSendsRatingOne) {
    station_.FailDownloadsOf(101);
    TestPlayer& player = Start();
    OnUi([&] { return player.Play(); });
    ASSERT_TRUE(WaitRated(101, 1));
    EXPECT_TRUE(log_.Contains("Sent Rating of 1 for failed download itemID:101"));
    EXPECT_GE(WaitPlayingAny(), 100);
}

TEST_F(VornPlayerTest, AnUnloadableFileIsRatedOneRemovedAndSkipped) {
    TestPlayer& player = Start();
    for (int id = 100; id <= 103; ++id) player.Break("track" + std::to_string(id) + ".mp3");
    OnUi([&] { return player.Play(); });
    // More were asked for, and the first loadable one plays.
    EXPECT_GE(WaitPlayingAny(), 104);
    // Items play in the order their downloads end: a broken one that came in
    // after a loadable one comes up once the listener rates that one and
    // moves on.
    const auto brokenLeft = [&] {
        for (int id = 100; id <= 103; ++id) {
            if (station_.Ratings()[id] != 1) return true;
        }
        return false;
    };
    for (int turn = 0; turn < 200 && brokenLeft(); ++turn) {
        OnUi([&] {
            VornPlaylistItem* item = player.CurrentItem();
            if (item == nullptr || player.LoadedFile() != item->FullPath()) return false;
            item->SetRating(3);
            return player.RateItem(item->ItemId(), 3, false) && player.Next();
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (int id = 100; id <= 103; ++id) {
        EXPECT_EQ(station_.Ratings()[id], 1) << id;
        EXPECT_FALSE(fs::exists(media_ + "UnRated/track" + std::to_string(id) + ".mp3"));
    }
}

TEST_F(VornPlayerTest, ALibraryOfBrokenFilesIsSkippedWithoutRecursion) {
    // Many unloadable items in a row: each is rejected in turn.
    std::string content;
    for (int id = 1; id <= 300; ++id) {
        auto item = test::MakeStoredItem(id, media_ + "UnRated/", 0);
        content += item->ToXml().Text() + "\n";
    }
    test::WriteFile("pl.txt", content);
    TestPlayer& player = Start(false);
    for (int id = 1; id <= 300; ++id) player.Break("song" + std::to_string(id) + ".mp3");
    EXPECT_TRUE(OnUi([&] { return player.Play(); }));  // it did reject what it chose
    EXPECT_EQ(Current(), nullptr);
    EXPECT_EQ(OnUi([&] { return player.Playlist().UnplayedCount(true); }), 0);
    EXPECT_FALSE(fs::exists(media_ + "UnRated/song1.mp3"));
}

TEST_F(VornPlayerTest, PreviousStepsOverUnloadableItems) {
    std::string content;
    for (int id = 1; id <= 3; ++id) content += test::MakeStoredItem(id, media_ + "UnRated/", 0)->ToXml().Text() + "\n";
    test::WriteFile("pl.txt", content);
    TestPlayer& player = Start(false);
    OnUi([&] { return player.Play(); });
    ASSERT_EQ(CurrentId(), 1);
    OnUi([&] {
        player.CurrentItem()->SetRating(3);
        return player.MediaEnded();
    });
    ASSERT_EQ(CurrentId(), 2);
    player.Break("song2.mp3");
    EXPECT_TRUE(OnUi([&] { return player.Previous(); }));  // 2 again cannot load: back to 1
    EXPECT_EQ(CurrentId(), 1);
    EXPECT_FALSE(OnUi([&] { return player.Previous(); }));  // nothing before the first
    EXPECT_EQ(Current(), nullptr);
}

TEST_F(VornPlayerTest, WithoutAConnectionEachRequestIsTriedTwiceThenLogged) {
    TestPlayer& player = Start(false);
    OnUi([&] { return player.Play(); });
    OnUi([&] { return player.RateItem(5, 3, false); });
    ASSERT_TRUE(test::WaitFor([&] {
        return log_.Contains("VornPlayer Error : Error Getting Recommendations << Error : 2 >>") &&
               log_.Contains("VornPlayer Error : Error Getting Ratings << Error : 2 >>");
    }));
    EXPECT_TRUE(station_.peer.Requests().empty());
}

TEST_F(VornPlayerTest, ARatedItemRecommendedAgainResendsItsRating) {
    test::WriteFile("pl.txt", test::MakeStoredItem(7, media_ + "5stars/", 5)->ToXml().Text() + "\n");
    station_.Offer({7});
    TestPlayer& player = Start();
    OnUi([&] {
        player.Play();  // the 5-star item is not due: nothing to play, more is asked for
        return true;
    });
    ASSERT_TRUE(WaitRated(7, 5));
    EXPECT_TRUE(log_.Contains("Received rated item in Rec request 7 5"));
    EXPECT_TRUE(log_.Contains("INFO : Item already in playlist 7"));
}

TEST_F(VornPlayerTest, AServerSendingMoreThanAskedStartsNoMoreDownloads) {
    station_.SetExtra(50);
    TestPlayer& player = Start();
    OnUi([&] { return player.Play(); });
    ASSERT_GE(WaitPlayingAny(), 100);
    EXPECT_EQ(OnUi([&] { return player.Playlist().UnplayedCount(false); }), 4);
    EXPECT_TRUE(log_.Contains("VornPlayer : More recommendations than the 4 asked for; ignoring item 104"));
}

TEST_F(VornPlayerTest, ChangingToTheSameFolderDoesNothing) {
    TestPlayer& player = Start(false);
    const std::size_t texts = player.Texts().size();
    std::string same = media_;
    same.pop_back();
    EXPECT_TRUE(OnUi([&] { return player.ChangeMediaFolder(same); }));
    EXPECT_EQ(player.Texts().size(), texts);
}

TEST_F(VornPlayerTest, ChangingTheFolderMovesTheLibraryAndKeepsTheCurrentItemPlayable) {
    TestPlayer& player = Start();
    OnUi([&] { return player.Play(); });
    const std::int32_t first = WaitPlayingAny();
    ASSERT_GE(first, 100);
    const std::string target = home_ / "Elsewhere/";
    Preferences::Global().SetMediaDir(target);
    EXPECT_TRUE(OnUi([&] { return player.ChangeMediaFolder(target); }));
    EXPECT_TRUE(player.ShowedText("Vorn is moving your music to its new location"));
    EXPECT_EQ(player.Texts().back(), " ");
    EXPECT_TRUE(player.ShowedText("Press play to continue"));
    EXPECT_EQ(player.LoadedFile(), target + "UnRated/track" + std::to_string(first) + ".mp3");
}

TEST_F(VornPlayerTest, ShutdownDuringAStalledServerCallIsBounded) {
    TestPlayer& player = Start();
    player.SetShutdownWait(300);
    station_.peer.SetSilent(true);
    OnUi([&] { return player.Play(); });  // the worker now waits for a reply that never comes
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto start = std::chrono::steady_clock::now();
    Destroy();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(log_.Contains("Server call still running at shutdown, cancelling it"));
}

TEST_F(VornPlayerTest, RatingsGivenJustBeforeShutdownAreStillSent) {
    TestPlayer& player = Start();
    OnUi([&] {
        for (int id = 1; id <= 5; ++id) player.RateItem(id, id, false);
        return true;
    });
    Destroy();
    for (int id = 1; id <= 5; ++id) {
        EXPECT_TRUE(WaitRated(id, id)) << id;
    }
}

TEST_F(VornPlayerTest, TheLibrarySurvivesARestart) {
    TestPlayer& player = Start();
    OnUi([&] { return player.Play(); });
    const std::int32_t first = WaitPlayingAny();
    ASSERT_GE(first, 100);
    ASSERT_TRUE(player.WaitUntil([&] { return player.Playlist().UnplayedCount(true) == 4; }));
    OnUi([&] {
        player.CurrentItem()->SetRating(2);
        return player.RateItem(first, 2, true);
    });
    Destroy();
    EXPECT_TRUE(fs::exists("pl.txt"));
    Start(false);
    EXPECT_EQ(OnUi([&] { return player_->Playlist().UnplayedCount(true); }), 4);
    OnUi([&] { return player_->Play(); });
    EXPECT_NE(CurrentId(), first);  // the first unrated item
    EXPECT_EQ(OnUi([&] { return player_->CurrentItem()->Rating(); }), 0);
}

TEST_F(VornPlayerTest, ARatingOfThreeWhilePlayingPlaysOnAndTwoMovesOn) {
    WriteLibrary(media_, {{1, 0}, {2, 0}, {3, 0}});
    TestPlayer& player = Start(false);
    ASSERT_TRUE(OnUi([&] { return player.Play(); }));
    ASSERT_EQ(CurrentId(), 1);
    const int pauses = player.Pauses();
    OnUi([&] {
        player.CurrentItem()->SetRating(3);
        return player.RateItem(1, 3, true);
    });
    EXPECT_EQ(CurrentId(), 1);
    EXPECT_EQ(player.Pauses(), pauses);
    OnUi([&] {
        player.CurrentItem()->SetRating(2);
        return player.RateItem(1, 2, true);
    });
    EXPECT_EQ(CurrentId(), 2);
}

TEST_F(VornPlayerTest, NextWithNothingToPlayShowsItsOwnWaitText) {
    TestPlayer& player = Start(false);
    EXPECT_FALSE(OnUi([&] { return player.Next(); }));
    ASSERT_FALSE(player.Texts().empty());
    EXPECT_EQ(player.Texts().back(), "Please Wait. Retrieving Media");
    EXPECT_FALSE(player.ShowedText(kWaitPlay));
}

TEST_F(VornPlayerTest, AFailedRequestIsSentExactlyOnceMore) {
    station_.RefuseRecommendations(2);
    TestPlayer& player = Start();
    EXPECT_FALSE(OnUi([&] { return player.Play(); }));
    ASSERT_TRUE(test::WaitFor(
        [&] { return log_.Contains("VornPlayer Error : Error Getting Recommendations << Error : 4 >>"); }, 15000));
    EXPECT_EQ(station_.RequestedCounts().size(), 2u);

    station_.RefuseRecommendations(1);  // the second attempt gets through
    EXPECT_FALSE(OnUi([&] { return player.Play(); }));
    EXPECT_GE(WaitPlayingAny(), 100);
    // Refused once, asked once more, served; once playing, the player may
    // already be asking for its next items.
    EXPECT_GE(station_.RequestedCounts().size(), 4u);
}

TEST_F(VornPlayerTest, ARatedItemBeyondTheCountAskedForStillHasItsRatingResent) {
    WriteLibrary(media_, {{1, 0}, {2, 0}, {7, 5}});
    station_.Offer({200, 201, 7});
    station_.SetExtra(1);  // two asked for, three sent
    TestPlayer& player = Start();
    ASSERT_TRUE(OnUi([&] { return player.Play(); }));  // two unrated left: more are asked for
    ASSERT_TRUE(WaitRated(7, 5));
    EXPECT_TRUE(log_.Contains("Received rated item in Rec request 7 5"));
    EXPECT_EQ(station_.RequestedCounts().front(), 2);
    EXPECT_TRUE(player.WaitUntil([&] { return player.Playlist().UnplayedCount(true) == 5; }));
}

TEST_F(VornPlayerTest, AnUnreachableMediaFolderPlaysNothingAndLosesNothing) {
    WriteLibrary(media_, {{1, 0}, {2, 4}, {3, 1}});
    const std::string away = home_ / "away";
    fs::rename(media_, away);  // the drive is not mounted for this run
    TestPlayer& player = Start();
    EXPECT_FALSE(OnUi([&] { return player.Play(); }));
    EXPECT_TRUE(player.ShowedText("Media folder not available: " + media_));
    EXPECT_FALSE(OnUi([&] { return player.Next(); }));
    EXPECT_EQ(Current(), nullptr);
    EXPECT_EQ(OnUi([&] { return player.Playlist().UnplayedCount(true); }), 3);
    Destroy();
    EXPECT_FALSE(fs::exists(media_));
    const std::string saved = test::ReadFile("pl.txt");
    EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), 3);
    EXPECT_TRUE(station_.Ratings().empty());  // nothing was rejected

    fs::rename(away, media_);  // back for the next start
    Start(false);
    EXPECT_TRUE(OnUi([&] { return player_->Play(); }));
    EXPECT_EQ(CurrentId(), 1);
}

// ---------------------------------------------------------------- the station away

int CountOf(const std::vector<std::string>& texts, const std::string& part) {
    return static_cast<int>(std::count_if(texts.begin(), texts.end(),
                                          [&](const std::string& t) { return t.find(part) != std::string::npos; }));
}

TEST_F(VornPlayerTest, RatingsGivenWhileTheStationIsGoneReachItWhenItIsBackWithoutARestart) {
    TestPlayer& player = Start();
    player.SetReconnectDelays(300, 1000);
    station_.peer.Stop();
    OnUi([&] {
        for (int id = 1; id <= 5; ++id) player.RateItem(id, id, false);
        return true;
    });
    ASSERT_TRUE(test::WaitFor([&] { return log_.Contains("Station lost, connecting again in the background"); }, 15000));
    EXPECT_EQ(player.Outbox().Size(), 5u);
    EXPECT_TRUE(log_.Contains("VornPlayer Error : Error Getting Ratings << Error : 1 >>"));

    station_.peer.Restart();
    for (int id = 1; id <= 5; ++id) {
        EXPECT_TRUE(WaitRated(id, id)) << id;
    }
    EXPECT_TRUE(player.WaitUntil([&] { return player.Outbox().Size() == 0; }));
    EXPECT_TRUE(log_.Contains("INFO : Reconnected"));
    EXPECT_EQ(player.ConnectionChanges(), (std::vector<std::string>{"online", "offline", "online"}));
    EXPECT_EQ(station_.Registrations(), 1);  // the same listener, not a new one
}

TEST_F(VornPlayerTest, QueuedRatingsGoOutManyPerRequestAndOnlyTheLastOfAChangedOne) {
    station_.peer.Stop();
    TestPlayer& player = Start(false);
    player.SetReconnectDelays(300, 1000);
    EXPECT_NE(player.ConnectToServer("127.0.0.1", station_.Port()), 0);
    OnUi([&] {
        for (int id = 1; id <= 500; ++id) player.RateItem(id, 3, false);
        player.RateItem(7, 1, false);
        player.RateItem(7, 5, false);
        return true;
    });
    EXPECT_EQ(player.Outbox().Size(), 500u);
    station_.peer.Restart();
    ASSERT_TRUE(test::WaitFor([&] { return station_.Ratings().size() == 500; }, 30000));
    EXPECT_EQ(station_.Ratings()[7], 5);
    int requests = 0, mentionsOf7 = 0;
    for (const std::string& request : station_.peer.Requests()) {
        if (request.find("<type>RatingsRequest</type>") == std::string::npos) continue;
        ++requests;
        mentionsOf7 += CountOf({request}, "<itemid>7</itemid>");
    }
    EXPECT_LE(requests, 10);
    EXPECT_EQ(mentionsOf7, 1);
    EXPECT_TRUE(player.WaitUntil([&] { return player.Outbox().Size() == 0; }));
}

TEST_F(VornPlayerTest, OfflineTheLibraryPlaysAndTheWantedRequestsGoOutOnceConnected) {
    WriteLibrary(media_, {{1, 0}, {2, 3}});  // 2 was last played long ago: due again
    station_.peer.Stop();
    TestPlayer& player = Start(false);
    player.SetReconnectDelays(60000, 60000);
    EXPECT_NE(player.ConnectToServer("127.0.0.1", station_.Port()), 0);
    EXPECT_EQ(player.ConnectionChanges(), std::vector<std::string>{"offline"});
    ASSERT_TRUE(player.WaitUntil([&] { return CountOf(player.Texts(), "Offline - retrying in ") > 0; }));
    EXPECT_TRUE(player.ShowedText("Error connecting to the Vorn server. Please check your internet and firewall "
                                  "settings and restart."));

    EXPECT_TRUE(OnUi([&] { return player.Play(); }));
    EXPECT_EQ(CurrentId(), 1);
    OnUi([&] {
        player.CurrentItem()->SetRating(4);
        return player.RateItem(1, 4, true);
    });
    OnUi([&] { return player.MediaEnded(); });
    EXPECT_EQ(CurrentId(), 2);  // recycled
    OnUi([&] { return player.Next(); });
    EXPECT_EQ(Current(), nullptr);
    std::vector<std::string> texts = player.Texts();
    std::erase_if(texts, [](const std::string& t) { return t.rfind("Offline - retrying in ", 0) == 0; });
    EXPECT_EQ(texts.back(), "Please Wait. Retrieving Media");
    EXPECT_EQ(player.Outbox().Size(), 1u);
    // Play and forward tried the station at once (on the worker, which may
    // not have got to it yet), and nothing else was sent.
    EXPECT_TRUE(player.WaitUntil([&] { return log_.Contains("VornPlayer : Connecting again to 127.0.0.1:"); }));
    EXPECT_FALSE(log_.Contains("Error Getting"));

    // Back: first run, so the listener registers; the rating and the wanted
    // recommendations go out, and what comes plays by itself.
    RegistryKey key;
    key.Open(kVornKeyPath);
    EXPECT_FALSE(key.Value("user_id_0").Exists());
    station_.peer.Restart();
    OnUi([&] { return player.Next(); });
    ASSERT_TRUE(WaitRated(1, 4));
    EXPECT_EQ(station_.Registrations(), 1);
    EXPECT_GE(WaitPlayingAny(), 100);
    EXPECT_EQ(player.ConnectionChanges(), (std::vector<std::string>{"offline", "online"}));
}

TEST_F(VornPlayerTest, AReconnectUnderWayDoesNotHoldTheExitUp) {
    station_.peer.Stop();
    TestPlayer& player = Start(false);
    player.SetReconnectDelays(100, 100);
    EXPECT_NE(player.ConnectToServer("127.0.0.1", station_.Port()), 0);
    station_.peer.SetSilent(true);
    station_.peer.Restart();  // takes the connections and never answers
    // The look at its port, then the key exchange, which waits for an answer.
    ASSERT_TRUE(test::WaitFor([&] { return station_.peer.Accepted() > 1; }, 10000));
    const auto start = std::chrono::steady_clock::now();
    Destroy();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
}  // namespace vorn
