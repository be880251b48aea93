#include <gtest/gtest.h>

#include "station/catalogue/ItemDetails.h"
#include "station/catalogue/NamesFromPath.h"

namespace vorn::station::test {
namespace {

ItemRecord Named(const std::string& artist, const std::string& title, std::int32_t id = 5) {
    ItemRecord item;
    item.id = id;
    item.artist = artist;
    item.title = title;
    return item;
}

// The client keeps its files under these names and writes them into its
// playlist file: every script's letters stay, only what would break a path
// or the playlist's XML goes.
TEST(NamesTest, FileNamesKeepEveryScriptAndLoseOnlyWhatIsUnsafe) {
    EXPECT_EQ(PortableFileName(Named("坂本 美穂子", "東京の夜")), "坂本 美穂子 - 東京の夜 [5].mp3");
    EXPECT_EQ(PortableFileName(Named("Кино", "Группа крови")), "Кино - Группа крови [5].mp3");
    EXPECT_EQ(PortableFileName(Named("Zoë Bérénice", "Façade: Live?")), "Zoë Bérénice - Façade: Live? [5].mp3");
    EXPECT_EQ(PortableFileName(Named("AC/DC", "A<b>&c\\d\te\xc2\x85" "f")), "AC_DC - A_b_c_d_e_f [5].mp3");
    EXPECT_EQ(PortableFileName(Named("", "..hidden..name.")), "hidden.name [5].mp3");
    EXPECT_EQ(PortableFileName(Named("", "/// \x01")), "Track [5].mp3");

    // Cut to the length limit between characters, never inside one.
    std::string long_;
    for (int n = 0; n < 50; ++n) long_ += "東";  // three bytes each
    const std::string name = PortableFileName(Named("", "a" + long_));
    EXPECT_EQ(name, "a" + long_.substr(0, 117) + " [5].mp3");
}

TEST(NamesTest, UntaggedFilesAreNamedFromArtistAlbumAndTitleFolders) {
    const auto filled = [](const std::string& relative, ItemRecord item = ItemRecord()) {
        item.path = "/music/" + relative;
        FillNamesFromPath(item, "/music");
        return std::make_tuple(item.artist, item.album, item.title);
    };
    using Names = std::tuple<std::string, std::string, std::string>;
    EXPECT_EQ(filled("Artist/Album/01 Title.mp3"), Names("Artist", "Album", "Title"));
    EXPECT_EQ(filled("Artist/Album/CD 2/1-03 - Title.flac"), Names("Artist", "Album", "Title"));
    EXPECT_EQ(filled("Genre/Artist/Album/07. Song.ogg"), Names("Artist", "Album", "Song"));
    EXPECT_EQ(filled("Album/1999.mp3"), Names("", "Album", "1999"));
    EXPECT_EQ(filled("Album/3rd Stone.mp3"), Names("", "Album", "3rd Stone"));
    EXPECT_EQ(filled("Someone - Song.wav"), Names("Someone", "", "Song"));
    // One folder: the artist from the file's name, else from the folder's.
    EXPECT_EQ(filled("Rock/Someone - Song.mp3"), Names("Someone", "Rock", "Song"));
    EXPECT_EQ(filled("Mix/03 - Someone - Song.mp3"), Names("Someone", "Mix", "Song"));
    EXPECT_EQ(filled("Someone - Album/01 Song.mp3"), Names("Someone", "Album", "Song"));
    EXPECT_EQ(filled("Someone - Album/Other - Song.mp3"), Names("Other", "Someone - Album", "Song"));
    EXPECT_EQ(filled(" - Album/ - Song.mp3"), Names("", "- Album", "- Song"));
    // With two folders the name is the title as it stands.
    EXPECT_EQ(filled("Artist/Album/Other - Song.mp3"), Names("Artist", "Album", "Other - Song"));
    EXPECT_EQ(filled("Artist/Album/05.mp3"), Names("Artist", "Album", "05"));
    // Only the fields the tags left empty are filled.
    ItemRecord tagged;
    tagged.title = "Tagged Title";
    EXPECT_EQ(filled("Artist/Album/01 Title.mp3", tagged), Names("Artist", "Album", "Tagged Title"));
    // A name in another encoding than UTF-8 is read as Windows-1252.
    EXPECT_EQ(filled("Caf\xe9/Album/01 Title.mp3"), Names("Caf\xc3\xa9", "Album", "Title"));
}

}  // namespace
}  // namespace vorn::station::test
