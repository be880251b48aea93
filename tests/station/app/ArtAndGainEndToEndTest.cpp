// The real station on a music folder made here with GStreamer's MP3 encoder
// and TagLib: an album whose tracks embed one picture, a track with a folder
// picture beside it, a track and its copy 6 dB quieter, a quiet track with
// loud clicks, a track with ReplayGain tags and one whose picture is broken.
// The client's engine gets their Art and Gain details, the Art links serve
// the pictures, the pages show them, and a restart measures nothing again.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "foundation/Preferences.h"
#include "server/VornClientEngine.h"
#include "station/app/StationProgram.h"
#include "tests/station/support/EncodedTracks.h"
#include "tests/station/support/RawClient.h"
#include "tests/station/support/StationTestSupport.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/ScopedLog.h"

namespace vorn::station::test {
namespace {

constexpr int kWorkMs = 120000;
constexpr unsigned kAlbumColour = 0xd04020;

class ArtAndGainEndToEndTest : public ::testing::Test {
protected:
    ArtAndGainEndToEndTest() {
        const Samples level = MusicLike(6, 0.4, 4);
        Add("lit/one.mp3", "One", "Lit", MusicLike(6, 0.5, 1));
        Add("lit/two.mp3", "Two", "Lit", MusicLike(6, 0.5, 2));
        Add("beside/three.mp3", "Three", "Beside", MusicLike(6, 0.25, 3));
        Add("level/loud.mp3", "Loud", "Level", level);
        Add("level/quiet.mp3", "Quiet", "Level", Louder(level, -6));
        Add("peak/clicks.mp3", "Clicks", "Peak", QuietWithClicks(8, 0.02, 0.9));
        Add("rg/tagged.mp3", "Tagged", "Tagged", MusicLike(6, 0.5, 5));
        Add("broken/broken.mp3", "Broken", "Broken", MusicLike(6, 0.3, 6));
        const std::string album = MakePicture(1200, 800, kAlbumColour, "jpegenc");
        EXPECT_TRUE(EmbedPicture(music_ + "/lit/one.mp3", album, "image/jpeg"));
        EXPECT_TRUE(EmbedPicture(music_ + "/lit/two.mp3", album, "image/jpeg"));
        vorn::test::WriteFile(music_ + "/beside/cover.png", MakePicture(400, 400, 0x2040d0, "pngenc"));
        EXPECT_TRUE(TagReplayGain(music_ + "/rg/tagged.mp3", "+3.10 dB", "0.500000"));
        EXPECT_TRUE(EmbedPicture(music_ + "/broken/broken.mp3", std::string(4000, 'x'), "image/jpeg"));
    }

    void Add(const std::string& name, const std::string& title, const std::string& album, const Samples& samples) {
        const std::string path = music_ + "/" + name;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::string error;
        ASSERT_TRUE(EncodeTrack(path, TrackFormat::Mp3, samples, error)) << error;
        ASSERT_TRUE(TagTrack(path, "Artist", title, album));
    }

    StationOptions Options(int port) const {
        StationOptions options = TestStationOptions(music_, home_ / "station");
        options.port = port;
        options.logLevel = LogLevel::Fine;
        return options;
    }

    // A new listener's recommendations of every item, by title.
    std::map<std::string, std::unique_ptr<Recommendation>> Offered(VornClientEngine& engine) {
        std::int32_t user = 0;
        EXPECT_EQ(engine.RegisterUser(user, {}), kEngineOk);
        VornClientEngine::RecommendationList list;
        EXPECT_EQ(engine.GetRecommendations(user, 1, 8, list), kEngineOk);
        std::map<std::string, std::unique_ptr<Recommendation>> byTitle;
        for (auto& rec : list) {
            const std::string title = rec->Detail("Title");
            byTitle[title] = std::move(rec);
        }
        EXPECT_EQ(byTitle.size(), 8u);
        return byTitle;
    }

    // The answer to a GET of a URL on the media host: head and body.
    std::pair<std::string, std::string> Get(const std::string& url) {
        const std::size_t path = url.find('/', url.find("//") + 2);
        const std::string answer = Exchange(mediaPort_, "GET " + url.substr(path) + " HTTP/1.0\r\n\r\n");
        const std::size_t end = answer.find("\r\n\r\n");
        return end == std::string::npos ? std::make_pair(answer, std::string())
                                        : std::make_pair(answer.substr(0, end + 2), answer.substr(end + 4));
    }

    double Gain(const Recommendation& rec) { return std::stod(rec.Detail("Gain")); }
    // The picture an Art link names, whatever the media port: "/art/<key>.jpg".
    static std::string ArtPath(const Recommendation& rec) {
        const std::string url = rec.Detail("Art");
        return url.empty() ? url : url.substr(url.find("/art/"));
    }

    vorn::test::IsolatedHome home_;
    vorn::test::ScopedLog clientLog_;
    CapturedLog stationLog_;
    const std::string music_ = home_ / "music";
    int mediaPort_ = 0;
};

TEST_F(ArtAndGainEndToEndTest, TheStationOffersArtAndGainAndMeasuresOnce) {
    auto station = std::make_unique<StationProgram>();
    std::string error;
    ASSERT_TRUE(station->Start(Options(0), error)) << error;
    const int port = station->ProtocolPort();
    mediaPort_ = station->MediaPort();
    ASSERT_TRUE(vorn::test::WaitFor(
        [&] { return stationLog_.Contains("MediaWorkQueue : art and loudness of every item known"); }, kWorkMs));
    EXPECT_TRUE(stationLog_.Contains("MediaWorkQueue : art and loudness of every item known; 7 measured, 1 from "
                                     "ReplayGain tags, 0 not measurable, 3 pictures"))
        << stationLog_.Text();
    EXPECT_TRUE(stationLog_.Contains("the picture embedded in " + music_ + "/broken/broken.mp3 cannot be shown"));

    Preferences direct;
    VornClientEngine engine(&direct);
    ASSERT_EQ(engine.Initialise("127.0.0.1", port), kEngineOk);
    const auto offered = Offered(engine);
    ASSERT_EQ(offered.count("Broken"), 1u);
    for (const auto& [title, rec] : offered) {
        EXPECT_FALSE(rec->Detail("Gain").empty()) << title;
        const bool pictured = title == "One" || title == "Two" || title == "Three";
        EXPECT_EQ(rec->Detail("Art").empty(), !pictured) << title;
    }

    // One picture for the album, served as a JPEG of at most 512 pixels,
    // cached for good; the folder picture keeps its size.
    const std::string albumArt = offered.at("One")->Detail("Art");
    EXPECT_EQ(offered.at("Two")->Detail("Art"), albumArt);
    EXPECT_EQ(albumArt.rfind("http://127.0.0.1:" + std::to_string(mediaPort_) + "/art/", 0), 0u) << albumArt;
    const auto [head, jpeg] = Get(albumArt);
    EXPECT_EQ(head.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << head;
    EXPECT_NE(head.find("Content-Type: image/jpeg\r\n"), std::string::npos);
    EXPECT_NE(head.find("Cache-Control: public, max-age=31536000, immutable\r\n"), std::string::npos);
    int width = 0;
    int height = 0;
    ASSERT_TRUE(JpegSize(jpeg, width, height));
    EXPECT_EQ(std::make_pair(width, height), std::make_pair(512, 341));
    ASSERT_TRUE(JpegSize(Get(offered.at("Three")->Detail("Art")).second, width, height));
    EXPECT_EQ(std::make_pair(width, height), std::make_pair(400, 400));
    EXPECT_EQ(Get(albumArt.substr(0, albumArt.size() - 5) + "0.jpg").first.rfind("HTTP/1.0 404", 0), 0u);

    // Levelled: the quieter copy is raised 6 dB more; the clicks' peak holds
    // the quiet track down; the tags' gain is taken as it is.
    EXPECT_NEAR(Gain(*offered.at("Quiet")) - Gain(*offered.at("Loud")), 6.0, 0.5);
    EXPECT_LE(Gain(*offered.at("Clicks")), 1.0);
    EXPECT_GE(Gain(*offered.at("Clicks")), -2.0);
    EXPECT_EQ(offered.at("Tagged")->Detail("Gain"), "3.1");

    // The item page shows the picture; so does the listener's page, beside
    // each track rated.
    const std::string picture = "<img class=\"art\" src=\"" + ArtPath(*offered.at("One")) + "\"";
    const std::string itemPage = Get(offered.at("One")->SourceUrl().Url()).second;
    EXPECT_NE(itemPage.find(picture), std::string::npos) << itemPage;
    std::int32_t user = 0;
    ASSERT_EQ(engine.RegisterUser(user, {}), kEngineOk);
    ASSERT_EQ(engine.SubmitRatings(user, {{offered.at("One")->ItemId(), 5}, {offered.at("Broken")->ItemId(), 2}}),
              kEngineOk);
    ASSERT_TRUE(vorn::test::WaitFor([&] { return stationLog_.Contains("stored 2 ratings of user " + std::to_string(user)); }));
    VornClientEngine::RecommendationList mine;
    ASSERT_EQ(engine.GetRecommendations(user, 1, 1, mine), kEngineOk);
    ASSERT_EQ(mine.size(), 1u);
    const std::string mySource = mine[0]->SourceUrl().Url();
    const std::string page = Get("http://x/listener/" + mySource.substr(mySource.find("?l=") + 3)).second;
    EXPECT_NE(page.find("Your listening"), std::string::npos);
    EXPECT_NE(page.find(picture), std::string::npos) << page;
    EXPECT_EQ(page.find("<img"), page.rfind("<img")) << "the track without a picture shows none";

    // Restarted with the same data: nothing is worked out again, and the
    // details are the same.
    station->Stop();
    station.reset();
    const std::size_t before = stationLog_.Text().size();
    station = std::make_unique<StationProgram>();
    ASSERT_TRUE(station->Start(Options(port), error)) << error;
    mediaPort_ = station->MediaPort();
    ASSERT_TRUE(vorn::test::WaitFor(
        [&] { return stationLog_.Contains("MediaWorkQueue : 0 of 8 items need their art or loudness worked out"); }));
    ASSERT_EQ(engine.Initialise("127.0.0.1", port), kEngineOk);
    const auto again = Offered(engine);
    for (const auto& [title, rec] : again) {
        ASSERT_EQ(offered.count(title), 1u);
        EXPECT_EQ(rec->Detail("Gain"), offered.at(title)->Detail("Gain")) << title;
        EXPECT_EQ(ArtPath(*rec), ArtPath(*offered.at(title))) << title;
    }
    const std::string after = stationLog_.Text().substr(before);
    EXPECT_EQ(after.find("MediaWorkQueue : item "), std::string::npos) << after;
    EXPECT_EQ(after.find("ArtExtractor"), std::string::npos) << after;
}

}  // namespace
}  // namespace vorn::station::test
