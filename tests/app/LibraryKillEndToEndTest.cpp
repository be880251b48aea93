// The real program killed outright (SIGKILL: no exit, no final save) at random
// moments of sessions with downloads and ratings, and started again each time.
// The library file must always load and hold whatever was downloaded, and
// every rating the player moved on from, two seconds or more before the kill.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "library/VornPlaylistItem.h"
#include "tests/app/EndToEndTest.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kKills = 20;
constexpr int kDemoTracks = 160;  // more than the sessions rate and download
constexpr auto kSavedWithin = 2s;

struct SavedItem {
    std::int32_t id = 0;
    std::int32_t rating = 0;
    std::string location;
};

class LibraryKillEndToEndTest : public EndToEndTest {
protected:
    LibraryKillEndToEndTest() { trackSeconds_ = 2; }

    // The demo library made again with more tracks than the fixture's four.
    void MakeLargerDemoLibrary() {
        fs::remove_all(desktop_.Path("demo"));
        ChildProcess maker({VORN_STATION_PROGRAM, "--make-demo-library", desktop_.Path("demo"), "--tracks",
                            std::to_string(kDemoTracks), "--track-seconds", std::to_string(trackSeconds_), "--quiet"},
                           {}, desktop_.Path("station.log"));
        int status = -1;
        ASSERT_TRUE(maker.WaitExit(120000, status)) << "the demo library was not made in time";
        ASSERT_EQ(status, 0) << ReadFile(desktop_.Path("station.log"));
    }

    // "pl.txt" by file name; every line must load as an item, once per item id.
    std::map<std::string, SavedItem> LoadLibrary() {
        std::map<std::string, SavedItem> items;
        std::set<std::int32_t> ids;
        std::istringstream lines(ReadFile(desktop_.InstallDir() + "pl.txt"));
        int number = 0;
        for (std::string line; std::getline(lines, line);) {
            ++number;
            std::unique_ptr<VornPlaylistItem> item = VornPlaylistItem::FromXml(XmlElement(line));
            EXPECT_NE(item, nullptr) << "line " << number << " of pl.txt does not load: " << line;
            if (!item) continue;
            EXPECT_TRUE(ids.insert(item->ItemId()).second) << "item " << item->ItemId() << " twice in pl.txt";
            items[item->FileName()] = {item->ItemId(), item->Rating(), item->Location()};
        }
        return items;
    }
};

TEST_F(LibraryKillEndToEndTest, KilledAtRandomMomentsTheLibraryKeepsWhatChangedTwoSecondsBefore) {
    ASSERT_NO_FATAL_FAILURE(MakeLargerDemoLibrary());
    ASSERT_NO_FATAL_FAILURE(StartStation());
    if (IsSkipped()) return;

    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("random seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> killDelayMs(500, 4000);

    std::set<std::string> downloadsChecked;  // file names
    std::set<std::string> ratingsChecked;
    std::map<std::string, SavedItem> before;  // the library after the previous kill
    for (int kill = 1; kill <= kKills; ++kill) {
        SCOPED_TRACE("kill " + std::to_string(kill));
        ChildProcess& program = StartVorn();
        const std::string window = ConnectedWindow();
        ASSERT_FALSE(window.empty());
        ASSERT_TRUE(desktop_.Click(window, kPlayX, kPlayY));

        // When each log line of this session was first seen: never earlier than
        // it was written, so "seen two seconds before the kill" is on the safe side.
        std::map<std::string, Clock::time_point> downloaded;  // file name
        std::vector<std::pair<std::string, Clock::time_point>> played;  // file name, in order
        const auto watchLog = [&] {
            const auto now = Clock::now();
            for (const std::string& path : desktop_.LogLines(kDownloaded)) downloaded.try_emplace(FileName(path), now);
            const std::vector<std::string> set = desktop_.LogLines(kNewMedia);
            for (std::size_t i = played.size(); i < set.size(); ++i) played.emplace_back(FileName(set[i]), now);
        };
        const auto killAt = Clock::now() + std::chrono::milliseconds(killDelayMs(random));
        std::size_t rated = 0;  // tracks of this session given a star
        auto lastClick = Clock::now();
        while (Clock::now() < killAt) {
            watchLog();
            const auto now = Clock::now();
            // One star for each track once it has played 0.3 s (the player moves on),
            // again when a click found nothing to rate.
            if ((played.size() > rated && now - played.back().second >= 300ms) ||
                (!played.empty() && now - lastClick >= 1500ms)) {
                desktop_.Click(window, kFirstStarX, kFourthStarY);
                rated = played.size();
                lastClick = Clock::now();
            }
            std::this_thread::sleep_for(50ms);
        }
        const auto killed = Clock::now();
        program.Signal(SIGKILL);
        int status = -1;
        ASSERT_TRUE(program.WaitExit(10000, status));
        ASSERT_EQ(status, 128 + SIGKILL);
        watchLog();

        const std::map<std::string, SavedItem> library = LoadLibrary();
        for (const auto& [name, item] : before) {
            EXPECT_TRUE(library.contains(name)) << name << " was in the library before this session and is gone";
        }
        for (const auto& [name, seen] : downloaded) {
            if (killed - seen < kSavedWithin) continue;
            EXPECT_TRUE(library.contains(name)) << name << " downloaded "
                                                << std::chrono::duration_cast<std::chrono::milliseconds>(killed - seen)
                                                       .count()
                                                << " ms before the kill is not in pl.txt";
            downloadsChecked.insert(name);
        }
        // An item that another followed was rated (only a rated item is moved on
        // from), and filed into its rating's folder then.
        for (std::size_t i = 1; i < played.size(); ++i) {
            const auto& [name, seen] = played[i];
            const std::string& rated = played[i - 1].first;
            if (killed - seen < kSavedWithin) continue;
            if (!library.contains(rated)) {
                ADD_FAILURE() << rated << ", rated before " << name << " played, is not in pl.txt";
                continue;
            }
            const SavedItem& item = library.at(rated);
            EXPECT_GE(item.rating, 1) << rated << " was rated before " << name << " played";
            EXPECT_EQ(item.location.find(desktop_.MediaDir() + "UnRated/"), std::string::npos)
                << rated << " is recorded unfiled: " << item.location;
            ratingsChecked.insert(rated);
        }
        before = library;
    }
    std::cout << "Library kept through " << kKills << " kills: " << downloadsChecked.size() << " downloads and "
              << ratingsChecked.size() << " ratings checked, " << before.size() << " items in the end\n";
    EXPECT_GE(downloadsChecked.size(), 8u) << "too few downloads happened to test anything";
    EXPECT_GE(ratingsChecked.size(), 3u) << "too few ratings happened to test anything";
}

}  // namespace
}  // namespace vorn::test
