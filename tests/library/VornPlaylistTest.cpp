#include "foundation/Preferences.h"
#include "library/VornPlaylist.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/library/LibraryTestSupport.h"
#include "tests/support/MediaHostStub.h"
#include "tests/support/ScopedLog.h"

namespace fs = std::filesystem;

namespace vorn {
namespace {

using test::FixedClock;
using test::MakeRecommendation;
using test::MakeStoredItem;
using test::RecordingListener;

constexpr std::int64_t kNow = 1800000000;

class VornPlaylistTest : public ::testing::Test {
protected:
    VornPlaylistTest() {
        for (const char* name : {"UnRated", "1star", "2stars", "3stars", "4stars", "5stars"}) {
            fs::create_directories(media_ + name);
        }
    }
    std::string Folder(const char* name) const { return media_ + name + "/"; }
    // Writes "pl.txt" with the given items (and creates their files).
    void WritePlaylist(std::vector<std::unique_ptr<VornPlaylistItem>> items) {
        std::string content;
        for (const auto& item : items) content += item->ToXml().Text() + "\n";
        test::WriteFile("pl.txt", content);
    }
    // "pl.txt" with unrated items 1..count in "UnRated".
    void WriteUnrated(int count) {
        std::vector<std::unique_ptr<VornPlaylistItem>> items;
        for (int id = 1; id <= count; ++id) items.push_back(MakeStoredItem(id, Folder("UnRated"), 0));
        WritePlaylist(std::move(items));
    }
    std::unique_ptr<VornPlaylist> Open() {
        return std::make_unique<VornPlaylist>(media_, &listener_, clock_, &preferences_);
    }
    std::vector<std::int32_t> SavedIds() {
        std::vector<std::int32_t> ids;
        std::istringstream lines(test::ReadFile("pl.txt"));
        std::string line;
        while (std::getline(lines, line)) {
            auto item = VornPlaylistItem::FromXml(XmlElement(line));
            ids.push_back(item ? item->ItemId() : -1);
        }
        return ids;
    }

    test::IsolatedHome home_;
    test::ScopedLog log_{0};
    Preferences preferences_;
    std::string media_ = home_ / "Music/Vorn/";
    FixedClock clock_{kNow};
    RecordingListener listener_;
};

TEST_F(VornPlaylistTest, LoadingPutsRatedItemsFirstInReverseAndTheCursorOnTheFirstUnrated) {
    std::vector<std::unique_ptr<VornPlaylistItem>> items;
    items.push_back(MakeStoredItem(1, Folder("3stars"), 3));  // A
    items.push_back(MakeStoredItem(2, Folder("UnRated"), 0));  // B
    items.push_back(MakeStoredItem(3, Folder("5stars"), 5));  // C
    items.push_back(MakeStoredItem(4, Folder("UnRated"), 0));  // D
    WritePlaylist(std::move(items));
    {
        auto playlist = Open();
        EXPECT_EQ(playlist->UnplayedCount(true), 4);
        EXPECT_EQ(playlist->UnplayedCount(false), 2);
        EXPECT_EQ(playlist->NextItem()->ItemId(), 2);  // the cursor was on B
        EXPECT_EQ(playlist->NextItem()->ItemId(), 4);
    }
    EXPECT_EQ(SavedIds(), (std::vector<std::int32_t>{3, 1, 2, 4}));  // C, A, B, D
}

TEST_F(VornPlaylistTest, AMissingOrDamagedPlaylistFileNeverStopsLoading) {
    {
        auto empty = Open();
        EXPECT_EQ(empty->UnplayedCount(true), 0);
        EXPECT_EQ(empty->NextItem(), nullptr);
        EXPECT_TRUE(log_.Contains("INFO : Playlist Empty"));
    }
    auto good = MakeStoredItem(7, Folder("UnRated"), 0);
    test::WriteFile("pl.txt", "garbage\n<vornplaylistitem><rating>2\n\n" + good->ToXml().Text() + "\r\n" +
                                  std::string("\0\xff", 2));
    auto playlist = Open();
    EXPECT_EQ(playlist->UnplayedCount(true), 1);
}

TEST_F(VornPlaylistTest, FilesMovedByHandAreFoundWithTheirNewRating) {
    std::vector<std::unique_ptr<VornPlaylistItem>> items;
    items.push_back(MakeStoredItem(1, Folder("UnRated"), 0));
    items.push_back(MakeStoredItem(2, Folder("UnRated"), 0));
    const std::string moved = items[0]->FullPath();
    const std::string gone = items[1]->FullPath();
    WritePlaylist(std::move(items));
    fs::rename(moved, Folder("2stars") + "song1.mp3");
    fs::remove(gone);
    auto playlist = Open();
    ASSERT_EQ(playlist->UnplayedCount(true), 1);
    VornPlaylistItem* item = playlist->NextItem();
    ASSERT_NE(item, nullptr);  // the cursor found no unrated item, but recycling may pick it
    EXPECT_EQ(item->ItemId(), 1);
    EXPECT_EQ(item->Rating(), 2);
    EXPECT_EQ(item->Location(), Folder("2stars"));
}

TEST_F(VornPlaylistTest, LowRatedItemsComeBackAfterTwoDays) {
    std::vector<std::unique_ptr<VornPlaylistItem>> items;
    items.push_back(MakeStoredItem(1, Folder("5stars"), 5, kNow - 1000000));
    items.push_back(MakeStoredItem(2, Folder("2stars"), 2, static_cast<std::int32_t>(kNow - kReplayAfterSeconds)));
    items.push_back(MakeStoredItem(3, Folder("2stars"), 2, static_cast<std::int32_t>(kNow - kReplayAfterSeconds - 1)));
    items.push_back(MakeStoredItem(4, Folder("3stars"), 3, static_cast<std::int32_t>(kNow - kReplayAfterSeconds - 5)));
    WritePlaylist(std::move(items));
    auto playlist = Open();  // no unrated item: the cursor is at the end
    // Play order: 4, 3, 2, 1 (rated items in reverse). The first due is 4.
    VornPlaylistItem* first = playlist->NextItem();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->ItemId(), 4);
    EXPECT_EQ(first->LastPlayed(), kNow);  // handed out now
    VornPlaylistItem* second = playlist->NextItem();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->ItemId(), 3);  // 48 hours and one second
    EXPECT_EQ(playlist->NextItem(), nullptr);  // exactly 48 hours is not enough; 5 stars never
    clock_.Set(kNow + 1);
    VornPlaylistItem* third = playlist->NextItem();
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(third->ItemId(), 2);
    playlist.reset();
    EXPECT_EQ(SavedIds(), (std::vector<std::int32_t>{1, 4, 3, 2}));  // handed-out items moved to the end
}

TEST_F(VornPlaylistTest, PlayedItemsAreFiledByRatingWhenPlaybackMovesOn) {
    WriteUnrated(3);
    auto playlist = Open();
    VornPlaylistItem* one = playlist->NextItem();
    one->SetRating(4);
    EXPECT_TRUE(fs::exists(Folder("UnRated") + "song1.mp3"));  // not moved when rated
    VornPlaylistItem* two = playlist->NextItem();
    EXPECT_TRUE(fs::exists(Folder("4stars") + "song1.mp3"));
    EXPECT_FALSE(fs::exists(Folder("UnRated") + "song1.mp3"));
    EXPECT_EQ(one->Location(), Folder("4stars"));
    playlist->NextItem();
    EXPECT_TRUE(fs::exists(two->FullPath()));  // unrated stays in UnRated
    EXPECT_EQ(two->Location(), Folder("UnRated"));
}

TEST_F(VornPlaylistTest, PreviousStepsBackAndStopsAtTheFront) {
    {
        auto empty = Open();
        EXPECT_EQ(empty->PreviousItem(), nullptr);
        EXPECT_EQ(empty->CurrentItem(), nullptr);
    }
    WriteUnrated(2);
    auto playlist = Open();
    EXPECT_EQ(playlist->NextItem()->ItemId(), 1);
    EXPECT_EQ(playlist->NextItem()->ItemId(), 2);
    EXPECT_EQ(playlist->PreviousItem()->ItemId(), 2);  // the same item again
    EXPECT_EQ(playlist->PreviousItem()->ItemId(), 1);
    EXPECT_EQ(playlist->PreviousItem(), nullptr);
    EXPECT_EQ(playlist->CurrentItem(), nullptr);
}

TEST_F(VornPlaylistTest, RemovingTakesTheItemAndItsFileOut) {
    WriteUnrated(2);
    auto playlist = Open();
    VornPlaylistItem* current = playlist->NextItem();
    const std::string path = current->FullPath();
    std::unique_ptr<VornPlaylistItem> removed = playlist->RemoveItem(current);
    ASSERT_EQ(removed.get(), current);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(playlist->CurrentItem(), nullptr);
    EXPECT_EQ(playlist->UnplayedCount(true), 1);
    EXPECT_EQ(playlist->RemoveItem(current), nullptr);
    EXPECT_EQ(playlist->NextItem()->ItemId(), 2);
}

TEST_F(VornPlaylistTest, DownloadsJoinThePlayOrderAndDuplicatesAreRefused) {
    test::MediaHostStub host(3000);
    auto playlist = Open();
    auto first = MakeRecommendation(10, host.Url("/media/10.mp3"));
    EXPECT_EQ(playlist->AddRecommendation(first), nullptr);
    EXPECT_EQ(first, nullptr);  // taken over
    auto again = MakeRecommendation(10, host.Url("/media/10.mp3"));
    VornPlaylistItem* existing = playlist->AddRecommendation(again);
    ASSERT_NE(existing, nullptr);
    EXPECT_EQ(existing->ItemId(), 10);
    EXPECT_NE(again, nullptr);  // stays the caller's
    EXPECT_TRUE(log_.Contains("INFO : Item already in playlist 10"));
    EXPECT_EQ(playlist->UnplayedCount(false), 1);

    ASSERT_TRUE(listener_.WaitFor(1));
    EXPECT_TRUE(log_.Contains("INFO : File Downloaded : " + Folder("UnRated") + "song10.mp3"));
    EXPECT_EQ(test::ReadFile(Folder("UnRated") + "song10.mp3"), host.BodyFor("/media/10.mp3"));
    // The cursor was at the end, so the new item is the next to play.
    VornPlaylistItem* next = playlist->NextItem();
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->ItemId(), 10);
    EXPECT_EQ(playlist->AddRecommendation(again), next);  // found in the play order too
}

TEST_F(VornPlaylistTest, OnlyRisingProgressOfAnyDownloadIsPassedOn) {
    auto playlist = Open();
    VornPlaylistItem a(MakeRecommendation(1, "http://h/1.mp3"), Folder("UnRated"), 0, 0);
    VornPlaylistItem b(MakeRecommendation(2, "http://h/2.mp3"), Folder("UnRated"), 0, 0);
    playlist->OnItemProgress(&a, 10);
    playlist->OnItemProgress(&b, 5);
    playlist->OnItemProgress(&b, 20);
    playlist->OnItemProgress(&a, 15);
    EXPECT_EQ(listener_.progress, (std::vector<std::int32_t>{10, 20}));
}

TEST_F(VornPlaylistTest, FailedDownloadsAreReportedAndGone) {
    test::MediaHostStub host;
    auto playlist = Open();
    auto missing = MakeRecommendation(20, host.Url("/media/missing/20.mp3"));
    playlist->AddRecommendation(missing);
    // Refused before any thread starts, while the playlist is still adding it.
    auto secure = MakeRecommendation(21, "https://example.com/21.mp3");
    EXPECT_EQ(playlist->AddRecommendation(secure), nullptr);
    ASSERT_TRUE(listener_.WaitFor(0, 2));
    std::sort(listener_.failedIds.begin(), listener_.failedIds.end());
    EXPECT_EQ(listener_.failedIds, (std::vector<std::int32_t>{20, 21}));
    EXPECT_EQ(playlist->UnplayedCount(false), 0);
    EXPECT_TRUE(log_.Contains("Item download failed : " + Folder("UnRated") + "song21.mp3 status = 2"));
    EXPECT_FALSE(fs::exists(Folder("UnRated") + "song20.mp3"));
    // The same item may be recommended again later.
    auto retry = MakeRecommendation(21, host.Url("/media/21.mp3"));
    EXPECT_EQ(playlist->AddRecommendation(retry), nullptr);
    ASSERT_TRUE(listener_.WaitFor(1));
}

TEST_F(VornPlaylistTest, RelocationThatDropsTheCurrentItemClearsIt) {
    WriteUnrated(2);
    auto playlist = Open();
    VornPlaylistItem* current = playlist->NextItem();
    fs::remove(current->FullPath());
    EXPECT_TRUE(playlist->RelocateItems());
    EXPECT_EQ(playlist->CurrentItem(), nullptr);
    EXPECT_EQ(playlist->UnplayedCount(true), 1);
    EXPECT_EQ(playlist->NextItem()->ItemId(), 2);
}

TEST_F(VornPlaylistTest, SavingReplacesTheFileWholeAndKeepsEachItemOnOneLine) {
    test::MediaHostStub host;
    test::WriteFile("pl.txt", "old content\n");
    {
        auto playlist = Open();
        auto rec = MakeRecommendation(2, host.Url("/b.mp3"), "b.mp3", "Two\nLines", "T");
        playlist->AddRecommendation(rec);
        ASSERT_TRUE(listener_.WaitFor(1));
        ASSERT_TRUE(playlist->Save("pl.txt"));
        const std::string saved = test::ReadFile("pl.txt");
        // A line break inside a value would split the record and lose it on loading.
        EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), 1);
        EXPECT_NE(saved.find("Two Lines"), std::string::npos);
        EXPECT_FALSE(fs::exists("pl.txt.new"));
    }
    auto reloaded = Open();
    EXPECT_EQ(reloaded->UnplayedCount(true), 1);
}

}  // namespace
}  // namespace vorn
