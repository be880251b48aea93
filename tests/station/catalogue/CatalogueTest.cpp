#include "station/catalogue/Catalogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "station/store/SqliteDatabase.h"
#include "tests/station/support/Mp3Files.h"
#include "tests/station/support/StationTestSupport.h"

namespace vorn::station::test {
namespace {

class CatalogueTest : public ::testing::Test {
protected:
    CatalogueTest() {
        std::filesystem::create_directories(dir_ / "music/Band/Album");
        std::filesystem::create_directories(dir_ / "music/loose");
        EXPECT_TRUE(WriteSilentMp3(dir_ / "music/Band/Album/01.mp3", 12));
        EXPECT_TRUE(TagMp3(dir_ / "music/Band/Album/01.mp3", "The Band", "Opening", "Album One", "Folk"));
        EXPECT_TRUE(WriteSilentMp3(dir_ / "music/loose/Untagged Song.MP3", 5));
        vorn::test::WriteFile(dir_ / "music/loose/notes.txt", "not music");
        vorn::test::WriteFile(dir_ / "music/loose/broken.mp3", "this is no audio at all");
        EXPECT_TRUE(store_.Open(dir_ / "station.db"));
    }

    const CatalogueEntry* ByName(const CatalogueSnapshot& snapshot, const std::string& relative) {
        for (const CatalogueEntry& entry : snapshot.Entries()) {
            if (entry.record.path == dir_ / ("music/" + relative)) {
                return &entry;
            }
        }
        return nullptr;
    }

    CapturedLog log_;
    vorn::test::TempDir dir_;
    SqliteStore store_;
};

TEST_F(CatalogueTest, ScanReadsTagsAndFallsBackToTheFileName) {
    Catalogue catalogue(store_, dir_ / "music");
    EXPECT_EQ(catalogue.Rescan(), 2);
    const auto snapshot = catalogue.Current();
    EXPECT_EQ(snapshot->Live().size(), 2u);
    const CatalogueEntry* tagged = ByName(*snapshot, "Band/Album/01.mp3");
    ASSERT_NE(tagged, nullptr);
    EXPECT_EQ(tagged->record.artist, "The Band");
    EXPECT_EQ(tagged->record.title, "Opening");
    EXPECT_EQ(tagged->record.album, "Album One");
    EXPECT_EQ(tagged->record.genre, "Folk");
    EXPECT_NEAR(tagged->record.lengthSeconds, 12, 1);
    const CatalogueEntry* bare = ByName(*snapshot, "loose/Untagged Song.MP3");
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(bare->record.title, "Untagged Song");
    EXPECT_EQ(bare->record.artist, "");
    EXPECT_EQ(bare->artist, kNoGroup);
    EXPECT_NEAR(bare->record.lengthSeconds, 5, 1);
    EXPECT_TRUE(log_.Contains("skipped (not audio) : " + (dir_ / "music/loose/broken.mp3")));
}

// A frame count in an "Info" header far beyond the file makes TagLib's playing
// time overflow: the time is then the decoding's, never negative.
TEST_F(CatalogueTest, AnImpossibleFrameCountLeavesThePlayingTimeToTheDecoding) {
    const std::string path = dir_ / "music/loose/Counted.mp3";
    ASSERT_TRUE(WriteSilentMp3(path, 2));
    {
        // The first frame's body, after its 32 bytes of side information:
        // "Info", flags saying a frame count and a byte count follow, 2^28
        // frames (2^28 * 26 ms overflow TagLib's milliseconds), 2^32-1 bytes.
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(4 + 32);
        file.write("Info\0\0\0\x03\x10\0\0\0\xff\xff\xff\xff", 16);
        ASSERT_TRUE(file.good());
    }
    Catalogue catalogue(store_, dir_ / "music");
    EXPECT_EQ(catalogue.Rescan(), 3);
    const CatalogueEntry* counted = ByName(*catalogue.Current(), "loose/Counted.mp3");
    ASSERT_NE(counted, nullptr);
    EXPECT_NEAR(counted->record.lengthSeconds, 2, 1);
}

TEST_F(CatalogueTest, IdsStayAcrossRescansAndRestartsAndGoneFilesStopBeingOffered) {
    std::int32_t taggedId = 0;
    {
        Catalogue catalogue(store_, dir_ / "music");
        ASSERT_EQ(catalogue.Rescan(), 2);
        taggedId = ByName(*catalogue.Current(), "Band/Album/01.mp3")->record.id;
        EXPECT_TRUE(WriteSilentMp3(dir_ / "music/Band/Album/02.mp3", 3));
        ASSERT_EQ(catalogue.Rescan(), 3);
        EXPECT_EQ(ByName(*catalogue.Current(), "Band/Album/01.mp3")->record.id, taggedId);
    }
    store_.Close();
    ASSERT_TRUE(store_.Open(dir_ / "station.db"));
    Catalogue catalogue(store_, dir_ / "music");
    catalogue.Load();  // what the store knew, before any scan
    EXPECT_EQ(catalogue.Current()->Live().size(), 3u);
    ItemRecord found;
    ASSERT_TRUE(catalogue.FindMedia(taggedId, found));
    EXPECT_EQ(found.title, "Opening");

    // Retagging is noticed; removal makes the item unavailable but keeps its id known.
    std::filesystem::remove(dir_ / "music/loose/Untagged Song.MP3");
    EXPECT_TRUE(TagMp3(dir_ / "music/Band/Album/01.mp3", "The Band", "Opening (Live)", "Album One", "Folk"));
    ASSERT_EQ(catalogue.Rescan(), 2);
    const auto snapshot = catalogue.Current();
    EXPECT_EQ(ByName(*snapshot, "Band/Album/01.mp3")->record.id, taggedId);
    EXPECT_EQ(ByName(*snapshot, "Band/Album/01.mp3")->record.title, "Opening (Live)");
    const CatalogueEntry* gone = ByName(*snapshot, "loose/Untagged Song.MP3");
    ASSERT_NE(gone, nullptr);
    EXPECT_FALSE(gone->record.present);
    EXPECT_EQ(snapshot->FindLive(gone->record.id), nullptr);
    EXPECT_FALSE(catalogue.FindMedia(gone->record.id, found));

    // A file that vanishes between scans is dropped as soon as it is reported.
    catalogue.ReportMissing(taggedId);
    EXPECT_FALSE(catalogue.FindMedia(taggedId, found));
    EXPECT_EQ(catalogue.Current()->Live().size(), 1u);
}

// The names items have in common are kept once, for the snapshot and for the
// store's records alike; a retagged file takes its new name without changing
// its album mate's.
TEST_F(CatalogueTest, ItemsShareTheirCommonNamesAndARetaggedOneTakesItsOwn) {
    const std::string second = dir_ / "music/Band/Album/02.mp3";
    ASSERT_TRUE(WriteSilentMp3(second, 7, 2));
    ASSERT_TRUE(TagMp3(second, "The Band", "Closing", "Album One", "Folk"));
    Catalogue catalogue(store_, dir_ / "music");
    ASSERT_EQ(catalogue.Rescan(), 3);
    auto snapshot = catalogue.Current();
    const CatalogueEntry* first = ByName(*snapshot, "Band/Album/01.mp3");
    const CatalogueEntry* mate = ByName(*snapshot, "Band/Album/02.mp3");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(mate, nullptr);
    EXPECT_EQ(&first->record.artist.str(), &mate->record.artist.str());
    EXPECT_EQ(&first->record.album.str(), &mate->record.album.str());
    EXPECT_EQ(&first->record.genre.str(), &mate->record.genre.str());
    EXPECT_EQ(&first->record.format.str(), &mate->record.format.str());
    const std::vector<ItemRecord> stored = store_.LoadItems();
    ASSERT_EQ(stored.size(), 3u);
    const auto band = std::count_if(stored.begin(), stored.end(), [&](const ItemRecord& item) {
        return &item.artist.str() == &first->record.artist.str();
    });
    EXPECT_EQ(band, 2);

    ASSERT_TRUE(TagMp3(second, "The Other Band", "Closing", "Album One", "Jazz"));
    ASSERT_EQ(catalogue.Rescan(), 3);
    snapshot = catalogue.Current();
    first = ByName(*snapshot, "Band/Album/01.mp3");
    mate = ByName(*snapshot, "Band/Album/02.mp3");
    EXPECT_EQ(first->record.artist, "The Band");
    EXPECT_EQ(first->record.genre, "Folk");
    EXPECT_EQ(mate->record.artist, "The Other Band");
    EXPECT_EQ(mate->record.genre, "Jazz");
    EXPECT_EQ(&first->record.album.str(), &mate->record.album.str());
    EXPECT_NE(first->artist, mate->artist);
    EXPECT_NE(first->album, mate->album);
    for (const ItemRecord& item : store_.LoadItems()) {
        ASSERT_NE(snapshot->Find(item.id), nullptr);
        EXPECT_EQ(item, snapshot->Find(item.id)->record);
    }
}

// A rescan of an unchanged library writes nothing and publishes nothing; a
// change writes what changed, and a file gone is forgotten.
TEST_F(CatalogueTest, AnUnchangedRescanWritesNothing) {
    Catalogue catalogue(store_, dir_ / "music");
    ASSERT_EQ(catalogue.Rescan(), 2);
    SqliteDatabase watcher;
    ASSERT_TRUE(watcher.Open(dir_ / "station.db"));
    const auto commits = [&watcher] {
        SqliteStatement version = watcher.Prepare("PRAGMA data_version");
        return version.Step() ? version.Int(0) : -1;
    };
    const std::int64_t before = commits();
    const auto published = catalogue.Current();
    ASSERT_EQ(catalogue.Rescan(), 2);
    EXPECT_EQ(commits(), before) << "an unchanged rescan committed";
    EXPECT_EQ(catalogue.Current(), published);
    EXPECT_TRUE(log_.Contains("Catalogue : 2 playable items (mp3 2); skipped 1 files")) << log_.Text();

    std::filesystem::remove(dir_ / "music/loose/broken.mp3");
    EXPECT_TRUE(TagMp3(dir_ / "music/Band/Album/01.mp3", "The Band", "Opening (Live)", "Album One", "Folk"));
    ASSERT_EQ(catalogue.Rescan(), 2);
    EXPECT_NE(commits(), before);
    EXPECT_EQ(ByName(*catalogue.Current(), "Band/Album/01.mp3")->record.title, "Opening (Live)");
    std::vector<std::string> paths;
    for (const FileRecord& file : store_.LoadFiles()) {
        paths.push_back(file.path);
    }
    EXPECT_EQ(paths, (std::vector<std::string>{dir_ / "music/Band/Album/01.mp3", dir_ / "music/loose/Untagged Song.MP3"}));
}

// A file that cannot be played stays out of every later scan while it is the
// same file, and comes back once it changed (replaced by a good copy, say).
TEST_F(CatalogueTest, AnUnplayableFileStaysOutUntilItChanges) {
    Catalogue catalogue(store_, dir_ / "music");
    ASSERT_EQ(catalogue.Rescan(), 2);
    const CatalogueEntry* bad = ByName(*catalogue.Current(), "Band/Album/01.mp3");
    ASSERT_NE(bad, nullptr);
    const ItemRecord record = bad->record;
    catalogue.ReportUnplayable(record);
    ItemRecord found;
    EXPECT_FALSE(catalogue.FindMedia(record.id, found));
    catalogue.Rescan();
    EXPECT_FALSE(catalogue.FindMedia(record.id, found));
    EXPECT_EQ(catalogue.Current()->Live().size(), 1u);

    // Another recording at the same path: offered again (as the item of its
    // own sound, which need not be the one the bad file was).
    ASSERT_TRUE(WriteSilentMp3(dir_ / "music/Band/Album/01.mp3", 13));
    catalogue.Rescan();
    EXPECT_EQ(catalogue.Current()->Live().size(), 2u);
}

// A store written before texts were made UTF-8 holds titles as the file
// names gave them: shown as UTF-8 at once, and stored so by the next scan.
TEST_F(CatalogueTest, AStoredTitleInAnotherEncodingIsShownAndStoredAsUtf8) {
    Catalogue catalogue(store_, dir_ / "music");
    ASSERT_EQ(catalogue.Rescan(), 2);
    SqliteDatabase earlier;
    ASSERT_TRUE(earlier.Open(dir_ / "station.db"));
    // "Caf\xe9 \x80" in Windows-1252.
    ASSERT_TRUE(earlier.Exec("UPDATE items SET title = CAST(X'436166e92080' AS TEXT) WHERE title = 'Untagged Song'"));
    earlier.Close();

    Catalogue restarted(store_, dir_ / "music");
    restarted.Load();
    EXPECT_EQ(ByName(*restarted.Current(), "loose/Untagged Song.MP3")->record.title, "Caf\xc3\xa9 \xe2\x82\xac");
    ASSERT_EQ(restarted.Rescan(), 2);  // the file is unchanged: its title is taken from the catalogue
    const std::vector<ItemRecord> stored = store_.LoadItems();
    EXPECT_TRUE(std::any_of(stored.begin(), stored.end(),
                            [](const ItemRecord& item) { return item.title == "Caf\xc3\xa9 \xe2\x82\xac"; }));
}

// A store of a station from before items were known by their sound: its
// items keep their ids by path, or, for a file moved meanwhile, by its size
// and tags; an exact copy is the same item.
TEST_F(CatalogueTest, ItemsOfAnEarlierStationKeepTheirIdsWhenTheyGetTheirKeys) {
    std::int32_t tagged = 0;
    std::int32_t bare = 0;
    {
        Catalogue catalogue(store_, dir_ / "music");
        ASSERT_EQ(catalogue.Rescan(), 2);
        tagged = ByName(*catalogue.Current(), "Band/Album/01.mp3")->record.id;
        bare = ByName(*catalogue.Current(), "loose/Untagged Song.MP3")->record.id;
    }
    SqliteDatabase earlier;
    ASSERT_TRUE(earlier.Open(dir_ / "station.db"));
    ASSERT_TRUE(earlier.Exec("UPDATE items SET content = NULL, print_hash = 0; DELETE FROM files; DELETE FROM prints"));
    earlier.Close();
    std::filesystem::create_directories(dir_ / "music/Band/Other");
    std::filesystem::rename(dir_ / "music/Band/Album/01.mp3", dir_ / "music/Band/Other/01 Renamed.mp3");
    std::filesystem::copy_file(dir_ / "music/loose/Untagged Song.MP3", dir_ / "music/loose/copy.mp3");

    Catalogue catalogue(store_, dir_ / "music");
    catalogue.Load();
    ASSERT_EQ(catalogue.Rescan(), 2);
    EXPECT_TRUE(log_.Contains("1 file is a copy of other items")) << log_.Text();
    EXPECT_EQ(ByName(*catalogue.Current(), "Band/Other/01 Renamed.mp3")->record.id, tagged);
    EXPECT_EQ(ByName(*catalogue.Current(), "loose/Untagged Song.MP3")->record.id, bare);
    const std::vector<ItemRecord> stored = store_.LoadItems();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_TRUE(std::all_of(stored.begin(), stored.end(), [](const ItemRecord& item) { return item.content != 0; }));
    // Known by their keys from now on: a second move needs no tags.
    EXPECT_TRUE(TagMp3(dir_ / "music/Band/Other/01 Renamed.mp3", "Someone", "Else", "", ""));
    std::filesystem::rename(dir_ / "music/Band/Other/01 Renamed.mp3", dir_ / "music/02.mp3");
    ASSERT_EQ(catalogue.Rescan(), 2);
    EXPECT_EQ(ByName(*catalogue.Current(), "02.mp3")->record.id, tagged);
}

TEST_F(CatalogueTest, AnUnreadableMusicFolderLeavesTheCatalogueAlone) {
    Catalogue catalogue(store_, dir_ / "music");
    ASSERT_EQ(catalogue.Rescan(), 2);
    std::filesystem::rename(dir_ / "music", dir_ / "elsewhere");
    EXPECT_EQ(catalogue.Rescan(), -1);
    EXPECT_EQ(catalogue.Current()->Live().size(), 2u);
    EXPECT_TRUE(log_.Contains("cannot be read; the catalogue stays as it was"));
}

}  // namespace
}  // namespace vorn::station::test
