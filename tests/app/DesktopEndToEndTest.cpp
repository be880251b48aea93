// The window on a real desktop: Openbox manages it, trayer holds its tray icon,
// and the listener reaches everything through the real menus, the real tray and
// the real pointer. What the window manager was told is read with xprop.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "tests/app/EndToEndTest.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;

// The context menu from the top: Help, Options (Display, Hotkeys, Preferences),
// Media, Feedback, About, Exit.
constexpr const char* kAlwaysOnTopKeys = "Down Down Right Right Return";
constexpr const char* kNormalKeys = "Down Down Right Right Down Return";
constexpr const char* kPreferencesKeys = "Down Down Right Down Down Return";
constexpr const char* kAboutKeys = "Down Down Down Down Down Return";
// A point of the skin that no control takes (the logo): pressing there drags.
constexpr int kLogoX = 160, kLogoY = 95;
// The second line of the display (the time) and the play button.
constexpr int kTimeX = 140, kTimeY = 58, kTimeWidth = 250, kTimeHeight = 18;
constexpr int kButtonX = 50, kButtonY = 45, kButtonSize = 44;

class DesktopEndToEndTest : public EndToEndTest {
protected:
    // Tracks long enough to keep playing through every step of a test.
    DesktopEndToEndTest() { trackSeconds_ = 40; }

    // The program connected and playing its first track.
    std::string PlayingWindow() {
        StartStation();
        if (IsSkipped() || HasFatalFailure()) return std::string();
        StartVorn();
        const std::string window = ConnectedWindow();
        if (window.empty()) return window;
        idleButton_ = ButtonLook(window);
        EXPECT_TRUE(desktop_.Click(window, kPlayX, kPlayY));
        EXPECT_TRUE(desktop_.WaitForLogLines(kNewMedia, 1, 30000)) << "playback did not start";
        EXPECT_TRUE(TimeRuns(window)) << "the track does not play";
        return window;
    }

    // The time on the display moves on within two seconds.
    bool TimeRuns(const std::string& window) const {
        const auto before = desktop_.Grab(window, kTimeX, kTimeY, kTimeWidth, kTimeHeight);
        return !before.empty() && Eventually(
                                      [&] {
                                          const auto now = desktop_.Grab(window, kTimeX, kTimeY, kTimeWidth,
                                                                         kTimeHeight);
                                          return !now.empty() && now != before;
                                      },
                                      2500);
    }

    // Still the first start, the first track, no restart.
    void ExpectTheSameSession(ChildProcess& program) {
        EXPECT_TRUE(program.Running());
        EXPECT_EQ(desktop_.LogLines(kStartLine).size(), 1u) << "the program started over (a fresh log)";
        EXPECT_TRUE(desktop_.LogLines("INFO : Shutting down").empty()) << "the window was ended";
        EXPECT_EQ(desktop_.LogLines(kNewMedia).size(), 1u) << "the track was loaded again or left";
    }

    bool Above(const std::string& window) const {
        return desktop_.Xprop(window, "_NET_WM_STATE").find("_NET_WM_STATE_ABOVE") != std::string::npos;
    }

    // A freshly started program's window, placed by the window manager and left
    // alone: nothing has moved it yet. No station: it shows the connect error.
    std::string FreshWindow() {
        StartVorn();
        const std::string window = desktop_.FindWindow(kMainTitle, 30000);
        // The program has set its window up once it logs the connect attempt.
        EXPECT_TRUE(Eventually([&] { return !desktop_.LogLines(kDisplay).empty(); }, 20000));
        return window;
    }

    // Where the centre of `dialog` lies relative to the centre of `window`.
    void CentreOffset(const std::string& dialog, const std::string& window, int& dx, int& dy) const {
        int x = 0, y = 0, w = 0, h = 0, px = 0, py = 0, pw = 0, ph = 0;
        ASSERT_TRUE(desktop_.WindowPosition(dialog, x, y) && desktop_.WindowSize(dialog, w, h));
        ASSERT_TRUE(desktop_.WindowPosition(window, px, py) && desktop_.WindowSize(window, pw, ph));
        dx = (x + w / 2) - (px + pw / 2);
        dy = (y + h / 2) - (py + ph / 2);
    }

    // The play button's look, with the pointer away from it.
    std::vector<std::uint32_t> ButtonLook(const std::string& window) const {
        desktop_.Xdotool("mousemove 2 2");
        return desktop_.Grab(window, kButtonX, kButtonY, kButtonSize, kButtonSize);
    }

    std::vector<std::uint32_t> idleButton_;  // the play button before the first play
};

TEST_F(DesktopEndToEndTest, AlwaysOnTopOnAndOffAndMinimisingWhilePlayingKeepTheMusicAndTheWindow) {
    const std::string window = PlayingWindow();
    ASSERT_FALSE(window.empty());
    ASSERT_FALSE(HasFailure());
    int x = 0, y = 0;
    ASSERT_TRUE(desktop_.WindowPosition(window, x, y));
    EXPECT_FALSE(Above(window));

    ASSERT_NO_FATAL_FAILURE(UseMenu(window, kAlwaysOnTopKeys));
    EXPECT_TRUE(Eventually([&] { return Above(window); }, 5000)) << "the window manager was not told";
    EXPECT_EQ(desktop_.StoreValue("pref_aot"), "1");
    EXPECT_TRUE(desktop_.IsShown(window)) << "the window went away";
    EXPECT_TRUE(TimeRuns(window));

    ASSERT_NO_FATAL_FAILURE(UseMenu(window, kNormalKeys));
    EXPECT_TRUE(Eventually([&] { return !Above(window); }, 5000));
    EXPECT_EQ(desktop_.StoreValue("pref_aot"), "0");
    EXPECT_TRUE(desktop_.IsShown(window));
    EXPECT_TRUE(TimeRuns(window));
    int nowX = 0, nowY = 0;
    ASSERT_TRUE(desktop_.WindowPosition(window, nowX, nowY));
    EXPECT_EQ(nowX, x);
    EXPECT_EQ(nowY, y);

    // The window manager's minimise hides the window; that ends nothing either.
    ASSERT_TRUE(desktop_.Xdotool("windowminimize --sync " + window));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(desktop_.Xdotool("windowactivate --sync " + window));
    EXPECT_TRUE(Eventually([&] { return desktop_.IsShown(window); }, 5000));
    EXPECT_TRUE(TimeRuns(window));
    ExpectTheSameSession(*vorn_);
    ASSERT_NO_FATAL_FAILURE(ExitFromMenu(*vorn_, window));
}

TEST_F(DesktopEndToEndTest, TheTrayIconHidesShowsAndOpensTheMenuWhilePlaying) {
    ASSERT_TRUE(desktop_.StartTray()) << "trayer did not take the tray";
    const std::string window = PlayingWindow();
    ASSERT_FALSE(window.empty());
    ASSERT_FALSE(HasFailure());
    int x = 0, y = 0;
    ASSERT_TRUE(desktop_.WindowPosition(window, x, y));
    int iconX = 0, iconY = 0;
    ASSERT_TRUE(Eventually([&] { return desktop_.TrayIconCentre(iconX, iconY); }, 10000)) << "no icon in the tray";

    ASSERT_TRUE(desktop_.ClickScreen(iconX, iconY, 1, 2));
    EXPECT_TRUE(Eventually([&] { return !desktop_.IsShown(window); }, 5000)) << "a double click did not hide";
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(desktop_.FindWindow(kMainTitle, 0).empty());

    ASSERT_TRUE(desktop_.ClickScreen(iconX, iconY, 1, 2));
    std::string shown;
    ASSERT_TRUE(Eventually(
        [&] {
            shown = desktop_.FindWindow(kMainTitle, 0);
            return !shown.empty();
        },
        5000))
        << "a second double click did not show the window";
    int nowX = 0, nowY = 0;
    ASSERT_TRUE(desktop_.WindowPosition(shown, nowX, nowY));
    EXPECT_EQ(nowX, x) << "shown elsewhere";
    EXPECT_EQ(nowY, y);
    EXPECT_TRUE(TimeRuns(shown));
    ExpectTheSameSession(*vorn_);

    const std::size_t before = desktop_.ProgramWindows().size();
    ASSERT_TRUE(desktop_.ClickScreen(iconX, iconY, 3));
    EXPECT_TRUE(Eventually([&] { return desktop_.ProgramWindows().size() > before; }, 5000))
        << "a right click did not open the menu";
    ASSERT_TRUE(desktop_.Xdotool("key Up Return"));  // its last item: Exit
    int status = -1;
    EXPECT_TRUE(vorn_->WaitExit(20000, status)) << "Exit from the tray's menu did not end the program";
    EXPECT_EQ(status, 0);
}

TEST_F(DesktopEndToEndTest, OnceTheWindowIsReadyItsTrayIconHotKeysAndMediaControlsWorkAtOnce) {
    // The window's first frame comes before the rest of its initialisation;
    // the program connects once that is done. So by its first connect text
    // the tray icon, the hot keys and the media controls are there (the tray
    // shows the icon when it has docked it), without waiting for the station.
    ASSERT_TRUE(desktop_.StartSessionBus()) << ReadFile(desktop_.Path("dbus-daemon.log"));
    ASSERT_TRUE(desktop_.StartTray()) << "trayer did not take the tray";
    ASSERT_NO_FATAL_FAILURE(StartStation());
    if (IsSkipped()) return;
    StartVorn();
    ASSERT_FALSE(desktop_.FindWindow(kMainTitle, 30000).empty());
    ASSERT_TRUE(Eventually([&] { return !desktop_.LogLines(kDisplay).empty(); }, 20000));
    ASSERT_TRUE(desktop_.Xdotool("key alt+w"));
    int iconX = 0, iconY = 0;
    EXPECT_TRUE(Eventually([&] { return desktop_.TrayIconCentre(iconX, iconY); }, 10000)) << "no icon in the tray";
    EXPECT_TRUE(Eventually(
        [&] {
            std::string players;
            return desktop_.RunOnBus({"playerctl", "-l"}, &players) && players.find("vorn") != std::string::npos;
        },
        10000))
        << "no media controls on the session bus";
    EXPECT_TRUE(desktop_.WaitForLogLines(kNewMedia, 1, 30000)) << "Alt+W, pressed as the program connected, did not play";

    // The start-up's log lines in their order; the press's own after the first of them.
    const std::string log = ReadFile(desktop_.LogPath());
    std::size_t at = 0;
    for (const char* line : {kStartLine, "INFO : Window system : ", "INFO : MprisService : Media controls on",
                             "INFO : Display : Connecting", "INFO : Display :           Connected", kWelcome}) {
        const std::size_t found = log.find(line, at);
        ASSERT_NE(found, std::string::npos) << "\"" << line << "\" missing, or out of its order";
        at = found;
    }
    const std::size_t asked = log.find("Please Wait.....Retrieving Media");
    EXPECT_GT(asked, log.find("INFO : Display : Connecting"));
    EXPECT_GT(log.find(kNewMedia), asked);
}

TEST_F(DesktopEndToEndTest, TheFirstDragAfterAStartFollowsThePointer) {
    // Where Qt's idea of the window's place goes wrong, it does so only after
    // some starts: several fresh starts, each dragged once.
    for (int start = 0; start < 4 && !HasFailure(); ++start) {
        SCOPED_TRACE("start " + std::to_string(start + 1));
        const std::string window = FreshWindow();
        ASSERT_FALSE(window.empty());
        int x = 0, y = 0;
        ASSERT_TRUE(desktop_.WindowPosition(window, x, y));
        ASSERT_TRUE(desktop_.Xdotool("mousemove --window " + window + " " + std::to_string(kLogoX) + " " +
                                     std::to_string(kLogoY) + " mousedown 1"));
        for (int step = 0; step < 5; ++step) {
            ASSERT_TRUE(desktop_.Xdotool("mousemove_relative -- 10 6"));
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
        }
        ASSERT_TRUE(desktop_.Xdotool("mouseup 1"));
        int nowX = 0, nowY = 0;
        EXPECT_TRUE(Eventually(
            [&] { return desktop_.WindowPosition(window, nowX, nowY) && nowX == x + 50 && nowY == y + 30; }, 3000))
            << "from " << x << "," << y << " the window went to " << nowX << "," << nowY << " instead of "
            << x + 50 << "," << y + 30;
        ASSERT_NO_FATAL_FAILURE(ExitFromMenu(*vorn_, window));
    }
}

TEST_F(DesktopEndToEndTest, AboutAndPreferencesOpenCentredOverThePlayerAtAFixedSize) {
    struct Dialog {
        const char* keys;
        const char* title;
    };
    // Each dialog twice, each time first thing after a fresh start.
    for (const Dialog& dialog : {Dialog{kAboutKeys, "About Vorn"}, Dialog{kPreferencesKeys, "Vorn Preferences"},
                                 Dialog{kAboutKeys, "About Vorn"}, Dialog{kPreferencesKeys, "Vorn Preferences"}}) {
        SCOPED_TRACE(dialog.title);
        const std::string window = FreshWindow();
        ASSERT_FALSE(window.empty());
        ASSERT_NO_FATAL_FAILURE(UseMenu(window, dialog.keys));
        const std::string box = desktop_.FindWindow(dialog.title, 10000);
        ASSERT_FALSE(box.empty()) << "no dialog";
        int dx = 0, dy = 0;
        ASSERT_TRUE(Eventually(
            [&] {
                CentreOffset(box, window, dx, dy);
                return std::abs(dx) <= 1 && std::abs(dy) <= 1;
            },
            3000))
            << "the dialog's centre is " << dx << "," << dy << " away from the player's";
        // The window manager offers neither maximising nor resizing.
        const std::string actions = desktop_.Xprop(box, "_NET_WM_ALLOWED_ACTIONS");
        EXPECT_NE(actions.find("_NET_WM_ACTION_CLOSE"), std::string::npos) << actions;
        EXPECT_EQ(actions.find("MAXIMIZE"), std::string::npos) << actions;
        EXPECT_EQ(actions.find("_NET_WM_ACTION_RESIZE"), std::string::npos) << actions;
        ASSERT_TRUE(desktop_.Keys(box, "Escape"));
        ASSERT_TRUE(Eventually([&] { return desktop_.FindWindow(dialog.title, 0).empty(); }, 5000));
        ASSERT_NO_FATAL_FAILURE(ExitFromMenu(*vorn_, window));
    }
}

TEST_F(DesktopEndToEndTest, TheConnectionPageRefusesABadPortAndANewHostReconnects) {
    const std::string second = "127.0.0.2";
    if (!PortFree(kProtocolPort, second)) GTEST_SKIP() << second << ":" << kProtocolPort << " is in use";
    ASSERT_NO_FATAL_FAILURE(StartStation());
    if (IsSkipped()) return;
    auto other = StartStationAt(second, "station2");
    ASSERT_TRUE(other->Running() && Answers(kProtocolPort, second)) << ReadFile(desktop_.Path("station2.log"));
    StartVorn();
    const std::string window = ConnectedWindow();
    ASSERT_FALSE(window.empty());
    const std::string listener = desktop_.StoreValue("user_id_0");
    ASSERT_FALSE(listener.empty());

    // A proxy port out of range: a message, the dialog stays, nothing is written.
    ASSERT_NO_FATAL_FAILURE(UseMenu(window, kPreferencesKeys));
    std::string preferences = desktop_.FindWindow("Vorn Preferences", 10000);
    ASSERT_FALSE(preferences.empty());
    ASSERT_TRUE(desktop_.Keys(preferences, "ctrl+Tab alt+u alt+s"));
    ASSERT_TRUE(desktop_.Xdotool("type --delay 20 proxy.example"));
    ASSERT_TRUE(desktop_.Xdotool("key alt+p"));
    ASSERT_TRUE(desktop_.Xdotool("type --delay 20 70000"));
    ASSERT_TRUE(desktop_.Xdotool("key Return"));
    const std::string refusal = desktop_.FindWindow("Connection", 5000);
    ASSERT_FALSE(refusal.empty()) << "a bad port was not refused";
    ASSERT_TRUE(desktop_.Keys(refusal, "Return"));
    EXPECT_TRUE(Eventually([&] { return desktop_.FindWindow("Connection", 0).empty(); }, 5000));
    EXPECT_FALSE(desktop_.FindWindow("Vorn Preferences", 0).empty()) << "the dialog closed on a bad port";
    EXPECT_EQ(desktop_.StoreValue("pref_proxyport"), "");
    EXPECT_EQ(desktop_.StoreValue("pref_useproxy"), "0");
    ASSERT_TRUE(desktop_.Keys(preferences, "Escape"));
    ASSERT_TRUE(Eventually([&] { return desktop_.FindWindow("Vorn Preferences", 0).empty(); }, 5000));

    // The station on another address: OK reconnects at once, no restart.
    ASSERT_NO_FATAL_FAILURE(UseMenu(window, kPreferencesKeys));
    preferences = desktop_.FindWindow("Vorn Preferences", 10000);
    ASSERT_FALSE(preferences.empty());
    ASSERT_TRUE(desktop_.Keys(preferences, "ctrl+Tab alt+h ctrl+a"));
    ASSERT_TRUE(desktop_.Xdotool("type --delay 20 " + second));
    ASSERT_TRUE(desktop_.Xdotool("key Return"));
    EXPECT_TRUE(Eventually([&] { return desktop_.FindWindow("Vorn Preferences", 0).empty(); }, 5000));
    EXPECT_EQ(desktop_.StoreValue("ServerHost"), second);
    EXPECT_TRUE(Eventually(
        [&] {
            std::size_t welcomes = 0;
            for (const std::string& line : desktop_.LogLines(kDisplay)) welcomes += line == kWelcome ? 1 : 0;
            return welcomes >= 2;
        },
        20000))
        << "no second welcome: the program did not reconnect";
    EXPECT_EQ(desktop_.LogLines(kStartLine).size(), 1u) << "it started over instead";

    // The music now comes from the second station, for the same listener.
    ASSERT_TRUE(desktop_.Click(window, kPlayX, kPlayY));
    EXPECT_TRUE(desktop_.WaitForLogLines(kNewMedia, 1, 30000)) << "nothing played from the new station";
    EXPECT_NE(ReadFile(desktop_.Path("station2.log")).find("adopted the user id " + listener), std::string::npos)
        << ReadFile(desktop_.Path("station2.log"));
    EXPECT_EQ(desktop_.StoreValue("user_id_0"), listener);
    ASSERT_NO_FATAL_FAILURE(ExitFromMenu(*vorn_, window));
}

TEST_F(DesktopEndToEndTest, AfterTheMediaFolderMovesTheButtonOffersPlayAndOnePressPlays) {
    const std::string window = PlayingWindow();
    ASSERT_FALSE(window.empty());
    ASSERT_FALSE(HasFailure());
    const auto playingButton = ButtonLook(window);
    ASSERT_NE(playingButton, idleButton_) << "the button does not show pause while playing " << playingButton.size() << " " << idleButton_.size();

    const std::string moved = desktop_.Path("elsewhere/Vorn/");
    ASSERT_NO_FATAL_FAILURE(UseMenu(window, kPreferencesKeys));
    const std::string preferences = desktop_.FindWindow("Vorn Preferences", 10000);
    ASSERT_FALSE(preferences.empty());
    // From the tabs: Always On Top, Enable Hotkeys, Media controls, Track
    // notices, Level loudness, then the media folder.
    ASSERT_TRUE(desktop_.Keys(preferences, "Tab Tab Tab Tab Tab Tab ctrl+a"));
    ASSERT_TRUE(desktop_.Xdotool("type --delay 10 '" + moved + "'"));
    ASSERT_TRUE(desktop_.Xdotool("key Return"));
    const std::string question = desktop_.FindWindow("Media Folder", 5000);
    ASSERT_FALSE(question.empty()) << "no question before moving the music";
    ASSERT_TRUE(desktop_.Keys(question, "Return"));  // Yes
    ASSERT_TRUE(Eventually([&] { return Contains(desktop_.LogLines(kDisplay), "Press play to continue"); }, 20000));
    EXPECT_EQ(desktop_.StoreValue("MediaDir"), moved);
    EXPECT_TRUE(fs::exists(moved + "UnRated"));

    EXPECT_TRUE(Eventually(
        [&] { return ButtonLook(window) == idleButton_; }, 3000))
        << "the button still shows pause";
    ASSERT_TRUE(desktop_.Click(window, kPlayX, kPlayY));
    EXPECT_TRUE(Eventually(
        [&] { return ButtonLook(window) == playingButton; }, 3000));
    EXPECT_TRUE(TimeRuns(window)) << "one press did not play";
    ASSERT_NO_FATAL_FAILURE(ExitFromMenu(*vorn_, window));
}

}  // namespace
}  // namespace vorn::test
