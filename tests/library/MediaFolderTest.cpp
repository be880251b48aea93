#include <gtest/gtest.h>

#include <filesystem>

#include "foundation/Preferences.h"
#include "foundation/RegistryKey.h"
#include "library/MediaFolders.h"
#include "library/VornPlaylist.h"
#include "tests/library/LibraryTestSupport.h"
#include "tests/support/MediaHostStub.h"
#include "tests/support/ScopedLog.h"

namespace fs = std::filesystem;

namespace vorn {
namespace {

using test::MakeStoredItem;

class MediaFolderTest : public ::testing::Test {
protected:
    MediaFolderTest() { Preferences::Global().Reload(); }
    void SetStore(const std::string& name, const std::string& value) {
        RegistryKey key;
        key.Open(kVornKeyPath);
        key.Value(name).SetText(value);
    }
    void Library(const std::string& media, std::vector<std::pair<int, int>> idsAndRatings) {
        std::string content;
        for (auto [id, rating] : idsAndRatings) {
            const char* folders[] = {"UnRated", "1star", "2stars", "3stars", "4stars", "5stars"};
            content += MakeStoredItem(id, media + folders[rating] + "/", rating)->ToXml().Text() + "\n";
        }
        test::WriteFile("pl.txt", content);
    }

    int SavedRecords() {
        const std::string saved = test::ReadFile("pl.txt");
        return static_cast<int>(std::count(saved.begin(), saved.end(), '\n'));
    }

    test::IsolatedHome home_;
    test::ScopedLog log_{0};
    test::RecordingListener listener_;
};

TEST_F(MediaFolderTest, PreparingTakesOverTheOldDefaultFolder) {
    const std::string media = home_ / "Music/Vorn/";
    const std::string install = home_ / "install";
    SetStore("MediaDir", media);
    SetStore("InstallDir", install);
    test::WriteFile(install + "/media/3stars/old.mp3", "old");
    test::WriteFile(install + "/media/1star/clash.mp3", "clash");
    test::WriteFile(media + "1star/mine.mp3", "mine");
    EXPECT_EQ(PrepareMediaFolders(), media);
    for (const char* name : {"UnRated", "1star", "2stars", "3stars", "4stars", "5stars"}) {
        EXPECT_TRUE(fs::is_directory(media + name)) << name;
    }
    EXPECT_EQ(test::ReadFile(media + "3stars/old.mp3"), "old");
    // A folder the media folder already has stays where it was, and so does the old folder.
    EXPECT_EQ(test::ReadFile(install + "/media/1star/clash.mp3"), "clash");
    EXPECT_EQ(test::ReadFile(media + "1star/mine.mp3"), "mine");
    EXPECT_TRUE(fs::exists(install + "/media"));

    fs::remove_all(install + "/media/1star");
    PrepareMediaFolders();
    EXPECT_FALSE(fs::exists(install + "/media"));  // empty now, so removed
}

TEST_F(MediaFolderTest, PurgeBelowThreeRemovesOneAndTwoStarItemsAndTheirFolders) {
    const std::string media = home_ / "m/";
    Library(media, {{1, 0}, {2, 1}, {3, 2}, {4, 3}, {5, 4}, {6, 5}});
    test::WriteFile(media + "2stars/stray.mp3", "not in the playlist");
    test::WriteFile(media + "3stars/keep.mp3", "keep");
    VornPlaylist playlist(media, &listener_);
    ASSERT_EQ(playlist.UnplayedCount(true), 6);
    EXPECT_EQ(playlist.PurgeBelow(3), 0);
    EXPECT_EQ(playlist.UnplayedCount(true), 4);
    EXPECT_TRUE(fs::is_empty(media + "1star"));
    EXPECT_TRUE(fs::is_empty(media + "2stars"));
    EXPECT_TRUE(fs::exists(media + "3stars/keep.mp3"));
    EXPECT_TRUE(fs::exists(media + "UnRated/song1.mp3"));

    EXPECT_EQ(playlist.PurgeBelow(1), 0);
    EXPECT_EQ(playlist.UnplayedCount(true), 4);
    EXPECT_TRUE(fs::exists(media + "3stars/keep.mp3"));
}

TEST_F(MediaFolderTest, MovingTheLibraryCopiesEverythingAndUpdatesThePlaylistFile) {
    const std::string media = home_ / "m/";
    const std::string target = home_ / "new place/";
    Library(media, {{1, 0}, {2, 4}});
    test::WriteFile(target + "already/there.txt", "keep me");
    {
        VornPlaylist playlist(media, &listener_);
        Preferences::Global().SetMediaDir(target);
        ASSERT_TRUE(playlist.MoveMediaFolder(target));
        EXPECT_EQ(playlist.MediaFolder(), target);
        EXPECT_TRUE(fs::is_empty(media));
        EXPECT_TRUE(fs::exists(target + "4stars/song2.mp3"));
        EXPECT_EQ(test::ReadFile(target + "already/there.txt"), "keep me");
        const std::string saved = test::ReadFile("pl.txt");
        EXPECT_EQ(saved.find(media), std::string::npos);
        EXPECT_NE(saved.find("<location>" + target + "UnRated/</location>"), std::string::npos);
        EXPECT_NE(saved.find("<location>" + target + "4stars/</location>"), std::string::npos);
    }
    VornPlaylist reloaded(target, &listener_);
    EXPECT_EQ(reloaded.UnplayedCount(true), 2);
}

TEST_F(MediaFolderTest, AMoveThatCannotHappenLeavesTheLibraryAndRestoresTheSetting) {
    const std::string media = home_ / "m/";
    Library(media, {{1, 0}, {2, 3}});
    VornPlaylist playlist(media, &listener_);
    Preferences::Global().SetMediaDir("/proc/no/such/place/");
    EXPECT_FALSE(playlist.MoveMediaFolder("/proc/no/such/place/"));
    EXPECT_EQ(Preferences::Global().GetMediaDir(), media);
    EXPECT_EQ(playlist.MediaFolder(), media);
    EXPECT_TRUE(fs::exists(media + "3stars/song2.mp3"));

    // Into itself (a sub-folder) or onto itself under another name.
    EXPECT_FALSE(playlist.MoveMediaFolder(media + "inner/"));
    EXPECT_FALSE(fs::exists(media + "inner"));
    EXPECT_TRUE(playlist.MoveMediaFolder(home_ / "m/./"));
    EXPECT_TRUE(fs::exists(media + "3stars/song2.mp3"));
    EXPECT_EQ(playlist.UnplayedCount(true), 2);
}

TEST_F(MediaFolderTest, AFailedCopyRemovesOnlyWhatItCopied) {
    const std::string media = home_ / "m/";
    const std::string target = home_ / "target/";
    Library(media, {{1, 0}, {2, 3}});
    test::WriteFile(target + "mine.txt", "mine");
    // An entry that cannot be copied: a link to nothing.
    fs::create_symlink(home_ / "nowhere", media + "zz-dangling.mp3");
    VornPlaylist playlist(media, &listener_);
    EXPECT_FALSE(playlist.MoveMediaFolder(target));
    EXPECT_EQ(test::ReadFile(target + "mine.txt"), "mine");
    EXPECT_FALSE(fs::exists(target + "UnRated"));
    EXPECT_TRUE(fs::exists(media + "3stars/song2.mp3"));
    EXPECT_EQ(playlist.MediaFolder(), media);
}

TEST_F(MediaFolderTest, PurgingFilesTheCurrentItemByItsNewRatingFirst) {
    // A 2-star item comes round again, is rated 4 while it plays and its file is
    // still in "2stars" when the purge runs.
    const std::string media = home_ / "m/";
    Library(media, {{1, 2}, {2, 5}});
    VornPlaylist playlist(media, &listener_);
    VornPlaylistItem* current = playlist.NextItem();
    ASSERT_NE(current, nullptr);
    ASSERT_EQ(current->ItemId(), 1);
    current->SetRating(4);
    playlist.PurgeBelow(3);
    EXPECT_EQ(playlist.UnplayedCount(true), 2);
    EXPECT_TRUE(fs::exists(media + "4stars/song1.mp3"));
    EXPECT_EQ(current->FullPath(), media + "4stars/song1.mp3");

    // Where it cannot be filed (a file is in the way of its folder), its file is left where it is.
    const std::string other = home_ / "o/";
    Library(other, {{3, 2}});
    VornPlaylist second(other, &listener_);
    VornPlaylistItem* item = second.NextItem();
    ASSERT_NE(item, nullptr);
    item->SetRating(3);
    test::WriteFile(other + "3stars", "in the way");
    test::WriteFile(other + "2stars/stray.mp3", "stray");
    second.PurgeBelow(3);
    EXPECT_TRUE(fs::exists(other + "2stars/song3.mp3"));
    EXPECT_FALSE(fs::exists(other + "2stars/stray.mp3"));
    EXPECT_EQ(second.UnplayedCount(true), 1);
}

TEST_F(MediaFolderTest, AnUnreachableMediaFolderKeepsTheWholeLibrary) {
    test::MediaHostStub host;
    const std::string media = home_ / "m/";
    const std::string away = home_ / "away";
    Library(media, {{1, 0}, {2, 3}, {3, 1}});
    fs::rename(media, away);  // the drive is unmounted
    {
        VornPlaylist playlist(media, &listener_);
        EXPECT_FALSE(playlist.MediaFolderAvailable());
        EXPECT_TRUE(log_.Contains("VornPlaylist : Media folder not available: " + media));
        EXPECT_EQ(playlist.UnplayedCount(true), 3);
        EXPECT_EQ(playlist.NextItem(), nullptr);
        EXPECT_EQ(playlist.PreviousItem(), nullptr);
        EXPECT_EQ(playlist.PurgeBelow(3), 0);
        auto rec = test::MakeRecommendation(9, host.Url("/media/9.mp3"));
        EXPECT_EQ(playlist.AddRecommendation(rec), nullptr);
        EXPECT_EQ(playlist.UnplayedCount(false), 1);  // nothing is downloading
        EXPECT_FALSE(fs::exists(media));  // and nothing made the folder afresh
    }
    EXPECT_EQ(SavedRecords(), 3);

    // An empty mount point in its place is no better than no folder at all.
    fs::create_directories(media);
    {
        VornPlaylist playlist(media, &listener_);
        EXPECT_FALSE(playlist.MediaFolderAvailable());
        EXPECT_EQ(playlist.UnplayedCount(true), 3);

        // The drive comes back while running: the next check finds the library.
        fs::remove(media);
        fs::rename(away, media);
        VornPlaylistItem* next = playlist.NextItem();
        ASSERT_NE(next, nullptr);
        EXPECT_EQ(next->ItemId(), 1);
        EXPECT_TRUE(log_.Contains("VornPlaylist : Media folder available again: " + media));
    }
    EXPECT_EQ(SavedRecords(), 3);
}

TEST_F(MediaFolderTest, PreparingCreatesAFolderOnlyWhenNoLibraryLivesThere) {
    const std::string media = home_ / "m/";
    SetStore("MediaDir", media);
    EXPECT_EQ(PrepareMediaFolders(), media);  // first start: no library anywhere
    EXPECT_TRUE(fs::is_directory(media + "UnRated"));

    Library(media, {{1, 0}});
    fs::remove_all(media);
    EXPECT_EQ(PrepareMediaFolders(), media);
    EXPECT_FALSE(fs::exists(media));
    EXPECT_TRUE(log_.Contains("Media folder not available: " + media));
    fs::create_directories(media);  // an empty mount point
    PrepareMediaFolders();
    EXPECT_TRUE(fs::is_empty(media));

    // A library that lives somewhere else does not hold a new folder back.
    const std::string fresh = home_ / "fresh/";
    SetStore("MediaDir", fresh);
    PrepareMediaFolders();
    EXPECT_TRUE(fs::is_directory(fresh + "5stars"));
}

}  // namespace
}  // namespace vorn
