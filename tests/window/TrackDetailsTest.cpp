// The station's optional details of a track as the real window uses them: the
// picture fetched beside the track and handed to the desktop, and the gain
// applied to what plays, switched by the listener's preference.
#include <gtest/gtest.h>

#include <cmath>

#include "foundation/Preferences.h"
#include "tests/player/PlayerTestSupport.h"
#include "tests/ui/QtTestSupport.h"
#include "tests/ui/ToneFile.h"
#include "tests/window/WindowTestSupport.h"
#include "ui/DesktopIntegration.h"
#include "ui/MediaGraph.h"
#include "ui/MenuCommands.h"

namespace vorn {
namespace {

TEST(TrackDetailsTest, APlayingTrackHasItsPictureOnTheDesktopAndPlaysAtItsGainWhileLevellingIsOn) {
    test::WindowFixture fixture;
    test::PlayerStation station;
    const std::string tone = fixture.home / "tone.mp3";
    ASSERT_TRUE(test::WriteToneMp3(tone, 5.0));
    station.media.SetFixedBody(test::ReadFile(tone));
    const std::string picture = std::string("\xFF\xD8\xFF\xE0", 4) + std::string(1500, 'j');
    station.media.Serve("/cover.jpg", picture);
    station.AddDetail("Art", [&station](std::int32_t id) {
        return station.media.Url("/art/" + std::to_string(id) + "/cover.jpg");
    });
    station.AddDetail("Gain", [](std::int32_t) { return std::string("-6.5"); });
    // Zoë - Чайковский 東京 [id].mp3: the name keeps its letters, the picture's too.
    const std::string name = "Zo\xC3\xAB - \xD0\xA7\xD0\xB0\xD0\xB9\xD0\xBA\xD0\xBE\xD0\xB2\xD1\x81\xD0\xBA\xD0\xB8\xD0\xB9 "
                             "\xE6\x9D\xB1\xE4\xBA\xAC";
    station.AddDetail("Filename", [&name](std::int32_t id) { return name + " [" + std::to_string(id) + "].mp3"; });

    auto window = fixture.Open();
    ASSERT_NE(window, nullptr);
    ASSERT_EQ(window->ConnectToServer("127.0.0.1", station.Port()), 0);
    window->OnPlayButton(1);
    ASSERT_TRUE(test::PumpUntil([&] { return window->Graph()->State() == MediaGraph::kRunning; }, 30000));

    const std::optional<TrackInfo> track = window->Desktop()->CurrentTrack();
    ASSERT_TRUE(track.has_value());
    const std::string stem = fixture.Media() + "UnRated/" + name + " [" + std::to_string(track->itemId) + "]";
    EXPECT_EQ(track->path, stem + ".mp3");
    EXPECT_EQ(track->artPath, stem + ".jpg");
    EXPECT_EQ(test::ReadFile(track->artPath), picture);
    EXPECT_NEAR(window->Graph()->Volume(), std::pow(10.0, -6.5 / 20.0), 1e-9);

    // "Level loudness" switched off in the options: the track plays as it is.
    window->optionsDialog = [] {
        Preferences::Global().SetLevelling(false);
        return true;
    };
    window->OnCommand(ID_PREFERENCES);
    EXPECT_EQ(window->Graph()->Volume(), 1.0);
    EXPECT_EQ(window->Graph()->State(), MediaGraph::kRunning);
}

}  // namespace
}  // namespace vorn
