// Pictures and loudness of files in every format the station reads, worked
// out by the background queue from files made here: pictures embedded (front
// covers) and beside the files, ReplayGain tags, a file that changes, broken
// pictures, and the measurement against the reference tone.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>

#include "station/media/ArtCache.h"
#include "station/media/ArtExtractor.h"
#include "station/media/LoudnessMeter.h"
#include "station/media/MediaFacts.h"
#include "station/media/MediaWorkQueue.h"
#include "tests/station/support/EncodedTracks.h"
#include "tests/station/support/StationTestSupport.h"
#include "tests/support/LoopbackServer.h"

namespace vorn::station::test {
namespace {

constexpr int kWorkMs = 120000;

// A record of a file as a scan finds it.
ItemRecord Found(const std::string& path, const std::string& title, const std::string& album) {
    ItemRecord item;
    item.path = path;
    item.title = title;
    item.album = album;
    item.artist = "Artist";
    struct stat facts {};
    EXPECT_EQ(::stat(path.c_str(), &facts), 0) << path;
    item.fileSize = facts.st_size;
    item.modified = static_cast<std::int64_t>(facts.st_mtim.tv_sec) * 1000000000 + facts.st_mtim.tv_nsec;
    return item;
}

class ArtAndLoudnessTest : public ::testing::Test {
protected:
    ArtAndLoudnessTest() : parts_(dir_.Path()), art_(dir_ / "art"), facts_(&art_) {
        std::string error;
        EXPECT_TRUE(art_.Open(error)) << error;
    }

    void Encode(const std::string& path, TrackFormat format, const Samples& samples, bool mono = false) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::string error;
        ASSERT_TRUE(EncodeTrack(path, format, samples, error, mono)) << error;
    }

    // Publishes the records and waits until the queue knows every one as it is now.
    std::vector<ItemRecord> PublishAndWait(const std::vector<ItemRecord>& records) {
        EXPECT_TRUE(parts_.catalogue->Publish(records));
        if (!queue_) {
            queue_ = std::make_unique<MediaWorkQueue>(parts_.store, *parts_.catalogue, facts_, &art_, 2);
        }
        std::vector<ItemRecord> published;
        for (const CatalogueEntry& entry : parts_.catalogue->Current()->Entries()) {
            published.push_back(entry.record);
        }
        EXPECT_TRUE(vorn::test::WaitFor(
            [&] {
                for (const ItemRecord& item : published) {
                    const std::optional<MediaFactsRecord> known = facts_.Find(item.id);
                    if (!known || known->modified != item.modified || known->fileSize != item.fileSize) {
                        return false;
                    }
                }
                return true;
            },
            kWorkMs));
        return published;
    }

    double Gain(const ItemRecord& item) {
        const MediaDetails details = facts_.DetailsOf(item);
        EXPECT_TRUE(details.gainDb) << item.path;
        return details.gainDb.value_or(NAN);
    }

    // The size of the item's picture as the cache holds it.
    std::pair<int, int> PictureSize(const ItemRecord& item) {
        const std::string file = facts_.ArtFile(facts_.DetailsOf(item).art);
        std::pair<int, int> size;
        EXPECT_TRUE(JpegSize(vorn::test::ReadFile(file), size.first, size.second)) << item.path;
        return size;
    }

    CapturedLog log_;
    vorn::test::TempDir dir_;
    StationParts parts_;
    ArtCache art_;
    MediaFacts facts_;
    std::unique_ptr<MediaWorkQueue> queue_;
};

// FLAC and Ogg Vorbis items, as the catalogue would take them: a FLAC file
// with a PNG front cover and ReplayGain comments (taken, not measured), an Ogg
// file with a back cover and then a JPEG front cover (the one shown), a FLAC
// file with a folder picture beside it. When that file changes (6 dB louder)
// it is measured again and keeps its picture.
TEST_F(ArtAndLoudnessTest, FlacAndOggItemsGetTheirPicturesAndLoudness) {
    const std::string tagged = dir_ / "music/Album/tagged.flac";
    const std::string ogg = dir_ / "music/Album/picture.ogg";
    const std::string beside = dir_ / "music/Other/beside.flac";
    Encode(tagged, TrackFormat::Flac, MusicLike(6, 0.5, 1));
    Encode(ogg, TrackFormat::Vorbis, MusicLike(6, 0.25, 2));
    Encode(beside, TrackFormat::Flac, MusicLike(6, 0.25, 3));
    const std::string portrait = MakePicture(300, 900, 0x3060c0, "pngenc");
    const std::string landscape = MakePicture(800, 600, 0xc03060, "jpegenc");
    ASSERT_FALSE(portrait.empty());
    ASSERT_TRUE(EmbedPicture(tagged, portrait, "image/png"));
    ASSERT_TRUE(TagReplayGain(tagged, "-4.20 dB", "0.250000"));
    ASSERT_TRUE(EmbedPicture(ogg, MakePicture(100, 100, 0x000000, "jpegenc"), "image/jpeg", false));
    ASSERT_TRUE(EmbedPicture(ogg, landscape, "image/jpeg"));
    vorn::test::WriteFile(dir_ / "music/Other/Folder.PNG", MakePicture(600, 600, 0x20c040, "pngenc"));

    std::vector<ItemRecord> items = PublishAndWait(
        {Found(tagged, "Tagged", "Album"), Found(ogg, "Picture", "Album"), Found(beside, "Beside", "Other")});
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(facts_.Find(items[0].id)->loudnessFrom, LoudnessSource::Tags);
    EXPECT_EQ(facts_.Find(items[1].id)->loudnessFrom, LoudnessSource::Measured);
    EXPECT_EQ(GainText(Gain(items[0])), "-4.2");  // the peak (-12 dBTP) leaves it alone
    EXPECT_NEAR(Gain(items[1]) - Gain(items[2]), 0, 1.0);  // the same level, whatever the format
    EXPECT_EQ(PictureSize(items[0]), std::make_pair(171, 512));
    EXPECT_EQ(PictureSize(items[1]), std::make_pair(512, 384));
    EXPECT_EQ(PictureSize(items[2]), std::make_pair(512, 512));
    const std::string besideArt = facts_.DetailsOf(items[2]).art;
    EXPECT_EQ(besideArt, ArtCache::KeyOf(vorn::test::ReadFile(dir_ / "music/Other/Folder.PNG")));
    EXPECT_NE(facts_.DetailsOf(items[0]).art, facts_.DetailsOf(items[1]).art);
    // The store has what the table has.
    const std::vector<MediaFactsRecord> stored = parts_.store.LoadMediaFacts();
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored[2], *facts_.Find(items[2].id));

    const double before = Gain(items[2]);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a later modification time
    Encode(beside, TrackFormat::Flac, Louder(MusicLike(6, 0.25, 3), 6));
    ItemRecord changed = Found(beside, "Beside", "Other");
    changed.id = items[2].id;
    EXPECT_FALSE(facts_.DetailsOf(changed).gainDb) << "nothing learnt from the file before it changed";
    items = PublishAndWait({Found(tagged, "Tagged", "Album"), Found(ogg, "Picture", "Album"), changed});
    EXPECT_NEAR(before - Gain(items[2]), 6.0, 0.5);
    EXPECT_EQ(facts_.DetailsOf(items[2]).art, besideArt);
}

// A measurement reads EBU R128's reference: a 1 kHz sine of -23 dBFS in both
// channels is -23 LUFS, with a true peak of -23 dBTP; the same sine in a mono
// file is heard from both speakers and reads the same. A file that is not
// audio, or is silent, gives no loudness.
TEST(LoudnessMeterTest, TheReferenceToneReadsMinus23AndMonoCountsTwice) {
    vorn::test::TempDir dir;
    const double amplitude = std::pow(10.0, -23.0 / 20);
    std::string error;
    ASSERT_TRUE(EncodeTrack(dir / "stereo.flac", TrackFormat::Flac, Sine(10, amplitude), error)) << error;
    ASSERT_TRUE(EncodeTrack(dir / "mono.flac", TrackFormat::Flac, Sine(10, amplitude), error, true)) << error;
    ASSERT_TRUE(EncodeTrack(dir / "silent.flac", TrackFormat::Flac, Sine(5, 0), error)) << error;
    vorn::test::WriteFile(dir / "text.flac", std::string(20000, 'x'));
    const std::atomic<bool> stop{false};
    for (const char* name : {"stereo.flac", "mono.flac"}) {
        Loudness loudness;
        ASSERT_TRUE(LoudnessMeter::Measure(dir / name, stop, loudness, error)) << error;
        EXPECT_NEAR(loudness.integratedLufs, -23.0, 0.1) << name;
        EXPECT_NEAR(loudness.truePeakDbtp, -23.0, 0.2) << name;
        EXPECT_NEAR(LevellingGain(loudness), 5.0, 0.1) << name;
    }
    for (const char* name : {"silent.flac", "text.flac", "missing.flac"}) {
        Loudness loudness;
        error.clear();
        EXPECT_FALSE(LoudnessMeter::Measure(dir / name, stop, loudness, error)) << name;
        EXPECT_FALSE(error.empty()) << name;
    }
    const std::atomic<bool> stopped{true};
    Loudness loudness;
    EXPECT_FALSE(LoudnessMeter::Measure(dir / "stereo.flac", stopped, loudness, error));
    EXPECT_EQ(error, "stopped");
}

// The gain as a recommendation tells it: the loudness's when the peak
// allows it, else the most the peak allows, rounded down so that the told
// gain never lifts the peak over -1 dBTP; never more than 20 dB.
TEST(LevellingGainTest, ThePeakLimitHoldsOnceTheGainIsRounded) {
    EXPECT_EQ(GainText(LevellingGain({-30.0, -12.0})), "11.0");
    EXPECT_EQ(GainText(LevellingGain({-9.96, -0.2})), "-8.0");
    EXPECT_EQ(GainText(LevellingGain({-30.0, -3.96})), "2.9");
    EXPECT_EQ(GainText(LevellingGain({-30.0, -3.3})), "2.3");
    EXPECT_EQ(GainText(LevellingGain({-60.0, -40.0})), "20.0");
}

// A picture that cannot be decoded costs a log line and the next one is
// tried: an embedded one that is no picture gives way to the cover beside
// the file; with nothing else, the item has no picture.
TEST_F(ArtAndLoudnessTest, BrokenPicturesArePassedOver) {
    const std::string withCover = dir_ / "music/A/broken.mp3";
    const std::string alone = dir_ / "music/B/broken.mp3";
    Encode(withCover, TrackFormat::Mp3, MusicLike(2, 0.3, 4));
    Encode(alone, TrackFormat::Mp3, MusicLike(2, 0.3, 5));
    const std::string broken = std::string("\xff\xd8\xff\xe0", 4) + std::string(3000, 'x');
    ASSERT_TRUE(EmbedPicture(withCover, broken, "image/jpeg"));
    ASSERT_TRUE(EmbedPicture(alone, broken, "image/jpeg"));
    const std::string cover = MakePicture(64, 48, 0x808080, "jpegenc");
    vorn::test::WriteFile(dir_ / "music/A/cover.jpg", cover);
    vorn::test::WriteFile(dir_ / "music/B/front.png", "not a png either");

    const std::atomic<bool> stop{false};
    const std::string key = ArtExtractor::Extract(withCover, art_, stop);
    EXPECT_EQ(key, ArtCache::KeyOf(cover));
    int width = 0;
    int height = 0;
    ASSERT_TRUE(JpegSize(vorn::test::ReadFile(art_.FileOf(key)), width, height));
    EXPECT_EQ(std::make_pair(width, height), std::make_pair(64, 48));  // never enlarged
    EXPECT_TRUE(log_.Contains("ArtExtractor : the picture embedded in " + withCover + " cannot be shown"));
    EXPECT_EQ(ArtExtractor::Extract(alone, art_, stop), "");
    EXPECT_TRUE(log_.Contains("the picture " + dir_ / "music/B/front.png" + " cannot be shown"));
    EXPECT_FALSE(art_.Has(ArtCache::KeyOf(broken)));
}

// Items about to be recommended go first, along with their album; a new
// queue over the same store has nothing to do; pictures that no item shows
// any more leave the cache once the work is done.
TEST_F(ArtAndLoudnessTest, PrioritisedItemsComeFirstAndNothingIsDoneTwice) {
    std::vector<ItemRecord> records;
    for (int n = 0; n < 6; ++n) {
        const std::string path = dir_ / ("music/" + std::to_string(n) + ".mp3");
        Encode(path, TrackFormat::Mp3, MusicLike(3, 0.3, static_cast<unsigned>(n)));
        records.push_back(Found(path, "Song " + std::to_string(n), n >= 4 ? "Last" : "Album " + std::to_string(n)));
    }
    std::string error;
    ASSERT_TRUE(art_.Put(std::string(32, 'a'), "stale", error)) << error;
    ASSERT_TRUE(parts_.catalogue->Publish(records));
    const std::int32_t last = parts_.catalogue->Current()->Entries().back().record.id;
    const std::int32_t mate = last - 1;
    queue_ = std::make_unique<MediaWorkQueue>(parts_.store, *parts_.catalogue, facts_, &art_, 1);
    queue_->Prioritise({last});
    ASSERT_TRUE(vorn::test::WaitFor([&] { return log_.Contains("art and loudness of every item known"); }, kWorkMs));
    // The order of the work, from the log: the one worker may have taken one
    // item before the request came.
    std::vector<std::int32_t> order;
    const std::string text = log_.Text();
    for (std::size_t at = text.find("MediaWorkQueue : item "); at != std::string::npos;
         at = text.find("MediaWorkQueue : item ", at + 1)) {
        order.push_back(std::stoi(text.substr(at + 22)));
    }
    ASSERT_EQ(order.size(), 6u) << text;
    const auto place = [&](std::int32_t id) { return std::find(order.begin(), order.end(), id) - order.begin(); };
    EXPECT_LE(place(last), 1);
    EXPECT_LE(place(mate), 2);
    EXPECT_FALSE(art_.Has(std::string(32, 'a'))) << "a picture no item shows";

    queue_.reset();
    MediaFacts reloaded(&art_);
    reloaded.Load(parts_.store.LoadMediaFacts());
    MediaWorkQueue again(parts_.store, *parts_.catalogue, reloaded, &art_, 1);
    ASSERT_TRUE(vorn::test::WaitFor([&] { return log_.Contains("0 of 6 items need their art or loudness"); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(log_.Text().find("MediaWorkQueue : item ", text.size()), std::string::npos);
}

}  // namespace
}  // namespace vorn::station::test
