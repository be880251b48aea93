// The real vorn-station following its music folder while it runs: files
// added, changed, moved and removed reach a listener within seconds, a file
// being written waits until it is whole, folder links are followed once, and
// an unchanged file is never read again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <thread>

#include "foundation/Preferences.h"
#include "server/VornClientEngine.h"
#include "tests/station/support/Mp3Files.h"
#include "tests/station/support/RawClient.h"
#include "tests/station/support/StationProcess.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/TempDir.h"

namespace vorn::station::test {
namespace {

namespace fs = std::filesystem;

// Far beyond the few seconds a change takes, so that a slow machine does not fail the test.
constexpr int kBoundMs = 15000;

class LiveWatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(music_ + "/Artist A/Album One");
        fs::create_directories(outside_);
        ASSERT_TRUE(Track(music_ + "/Artist A/Album One/01 First.mp3", "First", 1));
        ASSERT_TRUE(Track(music_ + "/Artist A/Album One/02 Second.mp3", "Second", 2));
        ASSERT_TRUE(Track(music_ + "/Artist A/03 Third.mp3", "Third", 3));
    }

    static bool Track(const std::string& path, const std::string& title, unsigned seed) {
        return WriteSilentMp3(path, 1, seed) && TagMp3(path, "Artist A", title, "Album One", "Folk");
    }

    void Start() {
        station_.reset();
        station_ = std::make_unique<StationProcess>(
            std::vector<std::string>{"--music", music_, "--data", home_ / "data", "--port", "0", "--media-port", "0",
                                     "--cdn-port", "0", "--rescan", "0", "--verbose"},
            home_ / ("station" + std::to_string(++starts_) + ".log"));
        port_ = station_->WaitForPort();
        ASSERT_NE(port_, 0) << station_->Log();
        mediaPort_ = station_->MediaPort();
    }

    // What a new listener asking for everything is offered: title → item id
    // (a title offered twice counts in `twice`).
    std::map<std::string, std::int32_t> Offered(int* twice = nullptr) {
        Preferences direct;
        VornClientEngine engine(&direct);
        std::int32_t user = 0;
        VornClientEngine::RecommendationList list;
        std::map<std::string, std::int32_t> offered;
        if (engine.Initialise("127.0.0.1", port_) != kEngineOk || engine.RegisterUser(user, {}) != kEngineOk ||
            engine.GetRecommendations(user, 1, 20, list) != kEngineOk) {
            ADD_FAILURE() << "no answer from the station\n" << station_->Log();
            return offered;
        }
        for (const auto& rec : list) {
            if (!offered.emplace(rec->Detail("Title"), rec->ItemId()).second && twice != nullptr) {
                ++*twice;
            }
        }
        return offered;
    }

    // Waits until the title is offered (or, with `offered` false, no longer
    // is); the time it took, logged, or -1.
    long WaitUntil(const std::string& title, bool offered, const std::string& what) {
        const auto start = std::chrono::steady_clock::now();
        if (!vorn::test::WaitFor([&] { return (Offered().count(title) != 0) == offered; }, kBoundMs)) {
            ADD_FAILURE() << what << ": not seen within " << kBoundMs << " ms\n" << station_->Log();
            return -1;
        }
        const long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now() - start)
                                              .count());
        std::cout << "[ measured ] " << what << ": " << ms << " ms" << std::endl;
        return ms;
    }

    // The file served for the title's item, or "" when it is not offered or not served.
    std::string Served(const std::string& title) {
        const auto offered = Offered();
        const auto item = offered.find(title);
        if (item == offered.end()) {
            return "";
        }
        const std::string answer = Exchange(
            mediaPort_, "GET /media/" + std::to_string(item->second) + ".mp3 HTTP/1.0\r\n\r\n");
        const std::size_t body = answer.find("\r\n\r\n");
        return answer.rfind("HTTP/1.0 200 OK", 0) == 0 && body != std::string::npos ? answer.substr(body + 4) : "";
    }

    vorn::test::IsolatedHome home_;
    const std::string music_ = home_ / "music";
    const std::string outside_ = home_ / "outside";
    std::unique_ptr<StationProcess> station_;
    int starts_ = 0;
    int port_ = 0;
    int mediaPort_ = 0;
};

TEST_F(LiveWatchTest, FilesAddedChangedMovedAndRemovedWhileRunningReachTheListener) {
    Start();
    EXPECT_EQ(Offered().size(), 3u);

    // A new album folder with a file, and a file beside the others.
    fs::create_directories(music_ + "/Artist B/New Album");
    ASSERT_TRUE(Track(music_ + "/Artist B/New Album/01 Arrival.mp3", "Arrival", 4));
    EXPECT_GE(WaitUntil("Arrival", true, "a file in a new folder offered after"), 0);
    ASSERT_TRUE(Track(music_ + "/Artist A/Album One/03 Late.mp3", "Late", 5));
    EXPECT_GE(WaitUntil("Late", true, "a file added to a folder offered after"), 0);

    // Retagged in place.
    ASSERT_TRUE(TagMp3(music_ + "/Artist A/Album One/03 Late.mp3", "Artist A", "Later", "Album One", "Folk"));
    EXPECT_GE(WaitUntil("Later", true, "a retagged file offered after"), 0);
    EXPECT_EQ(Offered().count("Late"), 0u);

    // Renamed into another folder, and a whole folder moved: still served, byte for byte.
    const std::string second = vorn::test::ReadFile(music_ + "/Artist A/Album One/02 Second.mp3");
    fs::create_directories(music_ + "/Elsewhere");
    fs::rename(music_ + "/Artist A/Album One/02 Second.mp3", music_ + "/Elsewhere/Second, moved.mp3");
    const std::string first = vorn::test::ReadFile(music_ + "/Artist A/Album One/01 First.mp3");
    fs::rename(music_ + "/Artist A/Album One", music_ + "/Artist A/Album One (Remastered)");
    EXPECT_TRUE(vorn::test::WaitFor([&] { return Served("Second") == second && Served("First") == first; }, kBoundMs))
        << station_->Log();
    fs::rename(music_ + "/Artist B", outside_ + "/Artist B");  // moved out of the music folder
    EXPECT_GE(WaitUntil("Arrival", false, "a folder moved away stops being offered after"), 0);

    fs::remove(music_ + "/Artist A/03 Third.mp3");
    EXPECT_GE(WaitUntil("Third", false, "a removed file stops being offered after"), 0);
    EXPECT_EQ(Offered().size(), 3u) << station_->Log();  // First, Second, Later
}

// A copy in progress is not offered half-written: the file waits until its
// writer closes it, even when the writer pauses longer than the time after
// which a file found by a scan counts as whole.
TEST_F(LiveWatchTest, AFileBeingWrittenIsOfferedOnlyOnceWhole) {
    Start();
    const std::string made = outside_ + "/slow.mp3";
    ASSERT_TRUE(WriteSilentMp3(made, 4, 6) && TagMp3(made, "Artist A", "Slow", "Album One", "Folk"));
    const std::string whole = vorn::test::ReadFile(made);
    const std::size_t half = whole.size() / 2;
    const int fd = ::open((music_ + "/Artist A/Slow.mp3").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, whole.data(), half), static_cast<ssize_t>(half));
    std::this_thread::sleep_for(std::chrono::seconds(3));
    ASSERT_TRUE(Track(music_ + "/Artist A/Marker.mp3", "Marker", 7));
    EXPECT_GE(WaitUntil("Marker", true, "a file added beside one being written offered after"), 0);
    EXPECT_EQ(Offered().count("Slow"), 0u) << "offered half-written";

    ASSERT_EQ(::write(fd, whole.data() + half, whole.size() - half), static_cast<ssize_t>(whole.size() - half));
    ASSERT_EQ(::close(fd), 0);
    EXPECT_GE(WaitUntil("Slow", true, "a file offered after its writer closed it"), 0);
    EXPECT_EQ(Served("Slow"), whole);
}

TEST_F(LiveWatchTest, FolderLinksAreFollowedOnceAndALoopIsRefused) {
    fs::create_directories(outside_ + "/Shared");
    ASSERT_TRUE(Track(outside_ + "/Shared/Outside.mp3", "Outside", 8));
    fs::create_directory_symlink(outside_ + "/Shared", music_ + "/Linked");
    fs::create_directory_symlink(outside_ + "/Shared", music_ + "/Linked again");     // the same folder twice
    fs::create_directory_symlink(music_ + "/Artist A", music_ + "/Alias");            // a folder walked anyway
    fs::create_directory_symlink(music_ + "/Artist A", music_ + "/Artist A/Album One/Up");  // a loop
    Start();

    int twice = 0;
    const auto offered = Offered(&twice);
    EXPECT_EQ(offered.size(), 4u);
    EXPECT_EQ(offered.count("Outside"), 1u);
    EXPECT_EQ(twice, 0) << "a file offered twice";
    EXPECT_EQ(Served("Outside"), vorn::test::ReadFile(outside_ + "/Shared/Outside.mp3"));
    const std::string log = station_->Log();
    for (const std::string& refused :
         {"\"" + music_ + "/Linked again\" leads to \"" + music_ + "/Linked\", walked already; not followed",
          "\"" + music_ + "/Alias\" leads to \"" + music_ + "/Artist A\", walked already; not followed",
          "\"" + music_ + "/Artist A/Album One/Up\" leads back to \"" + music_ +
              "/Artist A\", which holds it: a loop; not followed"}) {
        EXPECT_NE(log.find(refused), std::string::npos) << refused << "\n" << log;
    }

    // A link made while running is followed too, and what changes behind it is seen.
    fs::create_directories(outside_ + "/More");
    ASSERT_TRUE(Track(outside_ + "/More/More.mp3", "More", 9));
    fs::create_directory_symlink(outside_ + "/More", music_ + "/More");
    EXPECT_GE(WaitUntil("More", true, "a file behind a new folder link offered after"), 0);
    ASSERT_TRUE(Track(outside_ + "/Shared/Behind.mp3", "Behind", 10));
    EXPECT_GE(WaitUntil("Behind", true, "a file added behind a folder link offered after"), 0);
    EXPECT_TRUE(station_->Running());
}

// The store keeps each file's size and modification time: a file whose bytes
// changed behind them is not read again, at a restart or otherwise, until its
// time changes.
TEST_F(LiveWatchTest, AnUnchangedFileIsNeverReadAgain) {
    Start();
    EXPECT_EQ(Offered().count("First"), 1u);
    station_->Kill();

    const std::string path = music_ + "/Artist A/Album One/01 First.mp3";
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    std::string bytes = vorn::test::ReadFile(path);
    const std::size_t title = bytes.find("First");
    ASSERT_NE(title, std::string::npos);
    bytes.replace(title, 5, "Frost");
    vorn::test::WriteFile(path, bytes);
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);

    Start();
    // Once from what the store knew, once from the scan of the folder.
    const auto scanned = [&] {
        const std::string log = station_->Log();
        const std::string line = "Catalogue : 3 playable items";
        const std::size_t first = log.find(line);
        return first != std::string::npos && log.find(line, first + 1) != std::string::npos;
    };
    ASSERT_TRUE(vorn::test::WaitFor(scanned, kBoundMs)) << station_->Log();
    EXPECT_EQ(Offered().count("First"), 1u) << "the unchanged file was read again";

    // Its time changes: read at once, which the title shows.
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), nullptr, 0), 0);
    EXPECT_GE(WaitUntil("Frost", true, "a file touched offered after"), 0);
}

// When the station falls behind and inotify drops events, it scans the whole
// folder instead.
TEST_F(LiveWatchTest, LostEventsLeadToAFullRescan) {
    Start();
    ASSERT_EQ(::kill(station_->Pid(), SIGSTOP), 0);
    // Stopped only once every thread has taken the signal; until then the
    // watch may still be reading events.
    const auto stopped = [this] {
        for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(station_->Pid()) + "/task")) {
            const std::string stat = vorn::test::ReadFile(task.path() / "stat");
            const std::size_t state = stat.rfind(") ");
            if (state == std::string::npos || stat.compare(state + 2, 1, "T") != 0) {
                return false;
            }
        }
        return true;
    };
    ASSERT_TRUE(vorn::test::WaitFor(stopped, kBoundMs));
    // More events than inotify queues (16,384 by default); two files in turn,
    // so that no two queued events are alike and merged.
    const std::string one = music_ + "/Artist A/Album One/01 First.mp3";
    const std::string two = music_ + "/Artist A/Album One/02 Second.mp3";
    std::string queued;
    if (std::ifstream limit("/proc/sys/fs/inotify/max_queued_events"); !(limit >> queued)) {
        queued = "16384";
    }
    for (long k = 0; k <= std::stol(queued); ++k) {
        ASSERT_EQ(::utimensat(AT_FDCWD, (k % 2 == 0 ? one : two).c_str(), nullptr, 0), 0);
    }
    ASSERT_TRUE(Track(music_ + "/Artist A/Unheard.mp3", "Unheard", 11));  // its events are lost
    ASSERT_EQ(::kill(station_->Pid(), SIGCONT), 0);
    EXPECT_GE(WaitUntil("Unheard", true, "a file whose events were lost offered after"), 0);
    EXPECT_NE(station_->Log().find("too many changes at once"), std::string::npos) << station_->Log();
}

}  // namespace
}  // namespace vorn::station::test
