#include <gst/gst.h>
#include <gtest/gtest.h>
#include <taglib/fileref.h>
#include <taglib/tag.h>

#include <filesystem>
#include <map>

#include "station/catalogue/Catalogue.h"
#include "station/catalogue/DemoLibrary.h"
#include "station/catalogue/DemoSynth.h"
#include "tests/station/support/StationTestSupport.h"

namespace fs = std::filesystem;

namespace vorn::station::test {
namespace {

// A collection as listeners have them: every common format, folders and file
// names in other scripts, files without tags, a recording present twice, and
// damaged files.
class CollectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        Encode(0, "Зоя/Альбом/01 Песня.ogg", "vorbisenc ! oggmux");
        Encode(1, "Tagged/Opus Album/02 - Wrong Name.opus", "audioresample ! opusenc ! oggmux");
        Encode(2, "坂本/東京/03 夜.flac", "flacenc");
        Encode(3, "Twice/3.mp3", "lamemp3enc target=bitrate bitrate=128");
        Encode(3, "Twice/3.flac", "flacenc");
        Encode(4, "loose.wav", "wavenc");
        TagLib::FileRef opus((music_ + "/Tagged/Opus Album/02 - Wrong Name.opus").c_str());
        ASSERT_FALSE(opus.isNull());
        opus.tag()->setTitle(TagLib::String("Right Name", TagLib::String::UTF8));
        opus.tag()->setArtist(TagLib::String("Zoë", TagLib::String::UTF8));
        ASSERT_TRUE(opus.save());
        vorn::test::WriteFile(music_ + "/damaged.flac", std::string("fLaC\0\0\0\x22", 8) + std::string(600, 'x'));
        vorn::test::WriteFile(music_ + "/notes.mp3", "these are notes, not music");
        vorn::test::WriteFile(music_ + "/cover.txt", "not looked at");
        ASSERT_TRUE(store_.Open(dir_ / "station.db"));
    }

    void Encode(int index, const std::string& relative, const std::string& encoder) {
        const std::string path = music_ + "/" + relative;
        fs::create_directories(fs::path(path).parent_path());
        std::string error;
        const DemoTrack track = SynthesiseDemoTrack(index, 12);
        seconds_[relative] = static_cast<int>(track.samples.size() / static_cast<std::size_t>(track.sampleRate));
        ASSERT_TRUE(EncodeDemoTrack(track, path, encoder, error)) << error;
    }

    // The present items by their path below `music`.
    static std::map<std::string, ItemRecord> Items(const Catalogue& catalogue, const std::string& music) {
        std::map<std::string, ItemRecord> items;
        for (const CatalogueEntry& entry : catalogue.Current()->Entries()) {
            if (entry.record.present) {
                items[fs::relative(entry.record.path, music).string()] = entry.record;
            }
        }
        return items;
    }

    CapturedLog log_;
    vorn::test::TempDir dir_;
    const std::string music_ = dir_ / "music";
    SqliteStore store_;
    std::map<std::string, int> seconds_;  // each encoded file's playing time
};

TEST_F(CollectionTest, EveryFormatIsTakenNamedFromItsPathAndKnownByItsSound) {
    std::map<std::string, ItemRecord> items;
    {
        Catalogue catalogue(store_, music_);
        ASSERT_EQ(catalogue.Rescan(), 5);
        EXPECT_TRUE(log_.Contains("Catalogue : 5 playable items (flac 2, ogg 1, opus 1, wav 1); skipped 2 files "
                                  "(unreadable 1, not audio 1, no decoder 0); 1 file is a copy of other items"))
            << log_.Text();
        EXPECT_TRUE(log_.Contains("skipped (unreadable) : " + music_ + "/damaged.flac"));
        EXPECT_TRUE(log_.Contains("skipped (not audio) : " + music_ + "/notes.mp3"));
        items = Items(catalogue, music_);
    }
    ASSERT_EQ(items.size(), 5u);
    const ItemRecord& cyrillic = items["Зоя/Альбом/01 Песня.ogg"];
    EXPECT_EQ(std::make_tuple(cyrillic.artist, cyrillic.album, cyrillic.title, cyrillic.format),
              std::make_tuple("Зоя", "Альбом", "Песня", "ogg"));
    EXPECT_NEAR(cyrillic.lengthSeconds, seconds_["Зоя/Альбом/01 Песня.ogg"], 1);
    const ItemRecord& tagged = items["Tagged/Opus Album/02 - Wrong Name.opus"];
    EXPECT_EQ(std::make_tuple(tagged.artist, tagged.album, tagged.title, tagged.format),
              std::make_tuple("Zoë", "Opus Album", "Right Name", "opus"));
    const ItemRecord& cjk = items["坂本/東京/03 夜.flac"];
    EXPECT_EQ(std::make_tuple(cjk.artist, cjk.album, cjk.title), std::make_tuple("坂本", "東京", "夜"));
    EXPECT_EQ(items["loose.wav"].title, "loose");
    EXPECT_EQ(items["loose.wav"].format, "wav");
    // The same recording as MP3 and FLAC is one item, served from the FLAC.
    EXPECT_EQ(items.count("Twice/3.mp3"), 0u);
    const std::int32_t twice = items["Twice/3.flac"].id;
    EXPECT_GT(twice, 0);

    // Retagged, renamed, moved inside the folder, and then the whole folder
    // moved and the station restarted: every item keeps its id.
    {
        TagLib::FileRef ogg((music_ + "/Зоя/Альбом/01 Песня.ogg").c_str());
        ogg.tag()->setTitle(TagLib::String("Песня (live)", TagLib::String::UTF8));
        ASSERT_TRUE(ogg.save());
    }
    fs::create_directories(music_ + "/Other");
    fs::rename(music_ + "/loose.wav", music_ + "/Other/renamed.wav");
    const std::string moved = dir_ / "moved music";
    fs::rename(music_, moved);
    store_.Close();
    ASSERT_TRUE(store_.Open(dir_ / "station.db"));
    Catalogue catalogue(store_, moved);
    catalogue.Load();
    ASSERT_EQ(catalogue.Rescan(), 5);
    std::map<std::string, ItemRecord> after = Items(catalogue, moved);
    EXPECT_EQ(after["Зоя/Альбом/01 Песня.ogg"].id, cyrillic.id);
    EXPECT_EQ(after["Зоя/Альбом/01 Песня.ogg"].title, "Песня (live)");
    EXPECT_EQ(after["Other/renamed.wav"].id, items["loose.wav"].id);
    EXPECT_EQ(after["Other/renamed.wav"].album, "Other");
    EXPECT_EQ(after["Tagged/Opus Album/02 - Wrong Name.opus"].id, tagged.id);
    EXPECT_EQ(after["坂本/東京/03 夜.flac"].id, cjk.id);
    EXPECT_EQ(after["Twice/3.flac"].id, twice);
    EXPECT_EQ(store_.LoadItems().size(), 5u) << "no item was made anew";

    // Without the better copy the item is served from the other one.
    fs::remove(moved + "/Twice/3.flac");
    ASSERT_EQ(catalogue.Rescan(), 5);
    after = Items(catalogue, moved);
    EXPECT_EQ(after["Twice/3.mp3"].id, twice);
    EXPECT_EQ(after["Twice/3.mp3"].format, "mp3");

    // A format whose plug-in is missing is skipped as such; the files known
    // before are not read again and stay playable.
    for (const char* name : {"flac", "libav"}) {
        if (GstPlugin* decoders = gst_registry_find_plugin(gst_registry_get(), name); decoders != nullptr) {
            gst_registry_remove_plugin(gst_registry_get(), decoders);
            gst_object_unref(decoders);
        }
    }
    fs::copy_file(moved + "/坂本/東京/03 夜.flac", moved + "/new.flac");
    ASSERT_EQ(catalogue.Rescan(), 5);
    EXPECT_TRUE(log_.Contains("skipped 3 files (unreadable 1, not audio 1, no decoder 1)")) << log_.Text();
}

}  // namespace
}  // namespace vorn::station::test
