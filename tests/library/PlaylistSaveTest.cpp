// "pl.txt" is written while the playlist lives, soon after each change, so that
// a crash keeps the library; bursts are written together, a slow disk never
// holds the playlist up, and saves racing each other never leave a short file.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <sstream>
#include <thread>

#include "foundation/Preferences.h"
#include "library/VornPlaylist.h"
#include "tests/library/LibraryTestSupport.h"
#include "tests/support/MediaHostStub.h"
#include "tests/support/ScopedLog.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace vorn {
namespace {

using test::MakeStoredItem;

constexpr std::int64_t kNow = 1800000000;

struct SavedItem {
    std::int32_t rating = -1;
    std::string location;
    std::int32_t lastPlayed = -1;
    bool operator==(const SavedItem&) const = default;
};

class PlaylistSaveTest : public ::testing::Test {
protected:
    PlaylistSaveTest() {
        for (const char* name : {"UnRated", "1star", "2stars", "3stars", "4stars", "5stars"}) {
            fs::create_directories(media_ + name);
        }
    }
    std::string Folder(const char* name) const { return media_ + name + "/"; }
    // "pl.txt" with unrated items 1..count in "UnRated".
    void WriteUnrated(int count) {
        std::string content;
        for (int id = 1; id <= count; ++id) content += MakeStoredItem(id, Folder("UnRated"), 0)->ToXml().Text() + "\n";
        test::WriteFile("pl.txt", content);
    }
    std::unique_ptr<VornPlaylist> Open(std::chrono::milliseconds saveDelay = PlaylistSaver::kDefaultDelay) {
        return std::make_unique<VornPlaylist>(media_, &listener_, clock_, &preferences_, kPlaylistFileName,
                                              saveDelay);
    }
    // What "pl.txt" holds now, by item id.
    static std::map<std::int32_t, SavedItem> Saved() {
        std::map<std::int32_t, SavedItem> items;
        std::istringstream lines(test::ReadFile("pl.txt"));
        for (std::string line; std::getline(lines, line);) {
            if (auto item = VornPlaylistItem::FromXml(XmlElement(line))) {
                items[item->ItemId()] = {item->Rating(), item->Location(), item->LastPlayed()};
            }
        }
        return items;
    }
    // True once "pl.txt" satisfies `holds`, polled for up to two seconds from now.
    static bool OnDiskWithinTwoSeconds(const std::function<bool(const std::map<std::int32_t, SavedItem>&)>& holds) {
        const auto deadline = std::chrono::steady_clock::now() + 2s;
        for (;;) {
            if (holds(Saved())) return true;
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(20ms);
        }
    }

    test::IsolatedHome home_;
    test::ScopedLog log_{0};
    Preferences preferences_;
    std::string media_ = home_ / "Music/Vorn/";
    test::FixedClock clock_{kNow};
    test::RecordingListener listener_;
};

TEST_F(PlaylistSaveTest, EveryKindOfChangeReachesTheFileWithinTwoSecondsWhileThePlaylistLives) {
    test::MediaHostStub host;
    WriteUnrated(3);
    auto playlist = Open();

    auto rec = test::MakeRecommendation(10, host.Url("/media/10.mp3"));
    playlist->AddRecommendation(rec);
    ASSERT_TRUE(listener_.WaitFor(1));
    EXPECT_TRUE(OnDiskWithinTwoSeconds([](const auto& saved) { return saved.contains(10); })) << "a download";

    clock_.Set(kNow + 5);
    VornPlaylistItem* first = playlist->NextItem();
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(first->ItemId(), 1);
    EXPECT_TRUE(OnDiskWithinTwoSeconds([](const auto& saved) {
        return saved.contains(1) && saved.at(1).lastPlayed == kNow + 5;
    })) << "playing";

    first->SetRating(4);  // as the window does
    playlist->MarkChanged();
    EXPECT_TRUE(OnDiskWithinTwoSeconds([](const auto& saved) { return saved.contains(1) && saved.at(1).rating == 4; }))
        << "a rating";

    EXPECT_EQ(playlist->PreviousItem(), first);  // moving on files the item by its rating
    EXPECT_TRUE(OnDiskWithinTwoSeconds([&](const auto& saved) {
        return saved.contains(1) && saved.at(1).location == Folder("4stars");
    })) << "filing";

    std::unique_ptr<VornPlaylistItem> removed = playlist->RemoveItem(first);
    ASSERT_NE(removed, nullptr);
    EXPECT_TRUE(OnDiskWithinTwoSeconds([](const auto& saved) { return !saved.contains(1); })) << "a removal";

    fs::rename(Folder("UnRated") + "song2.mp3", Folder("2stars") + "song2.mp3");  // by hand
    EXPECT_TRUE(playlist->RelocateItems());
    EXPECT_TRUE(OnDiskWithinTwoSeconds([&](const auto& saved) {
        return saved.contains(2) && saved.at(2) == SavedItem{2, Folder("2stars"), 0};
    })) << "a file found elsewhere";
    fs::remove(Folder("UnRated") + "song3.mp3");
    EXPECT_TRUE(playlist->RelocateItems());
    EXPECT_TRUE(OnDiskWithinTwoSeconds([](const auto& saved) { return saved.size() == 2 && !saved.contains(3); }))
        << "a file gone";
}

TEST_F(PlaylistSaveTest, ABurstOfChangesIsWrittenAFewTimesStartingWithinItsFirstSecond) {
    WriteUnrated(3);
    auto playlist = Open();
    VornPlaylistItem* item = playlist->NextItem();
    ASSERT_NE(item, nullptr);
    std::this_thread::sleep_for(1500ms);  // that change written
    const std::uint64_t before = playlist->SaveCount();
    ASSERT_GE(before, 1u);

    // 100 changes over about 2.5 s: a write that waited for a quiet moment would
    // come only after the last.
    for (int change = 1; change < 100; ++change) {
        item->SetRating(1 + change % 4);
        playlist->MarkChanged();
        std::this_thread::sleep_for(25ms);
    }
    const std::uint64_t duringBurst = playlist->SaveCount() - before;
    EXPECT_GE(duringBurst, 1u) << "nothing written during a burst of 2.5 s";
    item->SetRating(5);
    playlist->MarkChanged();
    EXPECT_TRUE(OnDiskWithinTwoSeconds([](const auto& saved) { return saved.contains(1) && saved.at(1).rating == 5; }))
        << "the last change";
    const std::uint64_t writes = playlist->SaveCount() - before;
    EXPECT_LE(writes, 5u) << "100 changes written " << writes << " times";
}

TEST_F(PlaylistSaveTest, AStalledWriteNeverHoldsThePlaylistUp) {
    WriteUnrated(100);
    auto playlist = Open(10ms);
    // The temporary file is a pipe whose reader takes a page and then waits, like a
    // disk that stalls: the write stops half way until the test reads the rest.
    ASSERT_EQ(::mkfifo("pl.txt.new", 0600), 0);
    const int reader = ::open("pl.txt.new", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_GT(::fcntl(reader, F_SETPIPE_SZ, 4096), 0);
    playlist->MarkChanged();
    pollfd ready{reader, POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, 5000), 1) << "the saver never wrote";

    auto answer = std::async(std::launch::async, [&] { return playlist->UnplayedCount(true); });
    const bool answeredInTime = answer.wait_for(2s) == std::future_status::ready;

    std::string written;  // the rest, until the saver closes the file
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (char buffer[4096]; std::chrono::steady_clock::now() < deadline;) {
        pollfd more{reader, POLLIN, 0};
        ::poll(&more, 1, 100);
        const ssize_t n = ::read(reader, buffer, sizeof buffer);
        if (n == 0) break;
        if (n > 0) written.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(reader);
    EXPECT_TRUE(answeredInTime) << "the playlist waited for the disk";
    EXPECT_EQ(answer.get(), 100);

    const auto saved = std::chrono::steady_clock::now() + 5s;
    while (playlist->SaveCount() == 0 && std::chrono::steady_clock::now() < saved) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(playlist->SaveCount(), 1u);
    playlist.reset();  // the final save puts a file in the pipe's place
    EXPECT_EQ(written, test::ReadFile("pl.txt"));
    EXPECT_EQ(Saved().size(), 100u);
}

TEST_F(PlaylistSaveTest, SavesRacingEachOtherNeverLeaveAShortOrDamagedFile) {
    WriteUnrated(200);
    auto playlist = Open(1ms);
    ASSERT_TRUE(playlist->Save("pl.txt"));
    const std::string whole = test::ReadFile("pl.txt");
    ASSERT_EQ(Saved().size(), 200u);

    std::atomic<bool> stop{false};
    std::atomic<int> failedSaves{0};
    std::vector<std::thread> savers;
    for (int i = 0; i < 3; ++i) {
        savers.emplace_back([&] {
            for (int n = 0; n < 40; ++n) {
                if (!playlist->Save("pl.txt")) ++failedSaves;
                playlist->MarkChanged();  // and the saver's thread joins in
            }
        });
    }
    int reads = 0;
    int damaged = 0;
    std::thread reader([&] {
        while (!stop) {
            std::ifstream in("pl.txt", std::ios::binary);
            std::ostringstream content;
            content << in.rdbuf();
            ++reads;
            if (content.str() != whole) ++damaged;
        }
    });
    for (auto& saver : savers) saver.join();
    stop = true;
    reader.join();
    EXPECT_EQ(failedSaves, 0);
    EXPECT_EQ(damaged, 0) << "of " << reads << " reads";
    EXPECT_GT(reads, 0);
    playlist.reset();
    EXPECT_EQ(test::ReadFile("pl.txt"), whole);
    EXPECT_FALSE(fs::exists("pl.txt.new"));
}

TEST_F(PlaylistSaveTest, ALibraryFileThatCannotBeReadIsNeverReplaced) {
    // A link to a folder opens but cannot be read, as a file on a failing disk.
    fs::create_directory("elsewhere");
    fs::create_directory_symlink("elsewhere", "pl.txt");
    auto playlist = Open(50ms);
    playlist->MarkChanged();
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(playlist->Save("pl.txt"));
    playlist.reset();
    EXPECT_TRUE(fs::is_symlink("pl.txt"));
    EXPECT_TRUE(log_.Contains("VornPlaylist : Could not read pl.txt; it is kept as it is and not written this session"));
}

}  // namespace
}  // namespace vorn
