#include "station/catalogue/DemoLibrary.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "tests/station/support/StationTestSupport.h"

namespace vorn::station::test {
namespace {

std::map<std::string, std::string> FilesBelow(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            files[std::filesystem::relative(entry.path(), folder).string()] =
                vorn::test::ReadFile(entry.path().string());
        }
    }
    return files;
}

TEST(DemoLibraryTest, MakesTaggedPlayableFilesTheSameEveryTime) {
    vorn::test::TempDir dir;
    std::string error;
    ASSERT_TRUE(MakeDemoLibrary(dir / "one", 7, error)) << error;
    ASSERT_TRUE(MakeDemoLibrary(dir / "two", 7, error)) << error;
    const auto one = FilesBelow(dir / "one");
    EXPECT_EQ(one.size(), 7u);
    EXPECT_TRUE(one == FilesBelow(dir / "two"));

    // The catalogue reads them back with their tags and lengths.
    SqliteStore store;
    ASSERT_TRUE(store.Open(dir / "station.db"));
    Catalogue catalogue(store, dir / "one");
    ASSERT_EQ(catalogue.Rescan(), 7);
    std::set<std::string> genres;
    for (const CatalogueEntry& entry : catalogue.Current()->Entries()) {
        EXPECT_FALSE(entry.record.artist.empty());
        EXPECT_FALSE(entry.record.album.empty());
        EXPECT_FALSE(entry.record.title.empty());
        EXPECT_GE(entry.record.lengthSeconds, 19);
        EXPECT_LE(entry.record.lengthSeconds, 41);
        genres.insert(entry.record.genre);
    }
    EXPECT_EQ(genres.size(), 6u);
    const DemoTrack first = SynthesiseDemoTrack(0);
    const std::string path = dir / ("one/" + first.artist + "/" + first.album + "/01 - " + first.title + ".mp3");
    bool found = false;
    for (const CatalogueEntry& entry : catalogue.Current()->Entries()) {
        if (entry.record.path == path) {
            found = true;
            EXPECT_EQ(entry.record.title, first.title);
            EXPECT_EQ(entry.record.genre, first.genre);
            EXPECT_NEAR(entry.record.lengthSeconds, static_cast<double>(first.samples.size()) / first.sampleRate, 1.5);
        }
    }
    EXPECT_TRUE(found) << path;
}

TEST(DemoLibraryTest, AnUnwritableFolderIsReported) {
    vorn::test::TempDir dir;
    vorn::test::WriteFile(dir / "file", "x");
    std::string error;
    EXPECT_FALSE(MakeDemoLibrary(dir / "file/below", 1, error));
    EXPECT_NE(error.find("cannot create"), std::string::npos);
}

}  // namespace
}  // namespace vorn::station::test
