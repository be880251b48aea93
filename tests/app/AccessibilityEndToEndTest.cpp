// The real program as a listener without a mouse meets it: through a screen
// reader's interface (AT-SPI on a private accessibility bus, read with pyatspi
// by tests/app/stubs/screen_reader.py), and through the keyboard alone under
// Openbox; against the real station.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "tests/app/EndToEndTest.h"

namespace vorn::test {
namespace {

constexpr const char* kApplication = "Vorn";  // the program's name on the accessibility bus
constexpr const char* kRatingWanted = "INFO : Rating wanted";

// The item id in a media file name ("Artist - Title [12].mp3").
int ItemOf(const std::string& path) {
    const std::size_t open = path.rfind('[');
    return open == std::string::npos ? -1 : std::stoi(path.substr(open + 1));
}

// What the display shows for a media file: its name without the id and extension.
bool Has(const std::string& json, const std::string& fragment) { return json.find(fragment) != std::string::npos; }

class AccessibilityEndToEndTest : public EndToEndTest {
protected:
    // What the display showed for a track: the text the window logged right
    // after it set the track (the file name replaces what a file system or the
    // playlist cannot hold, "&" among them; the display does not).
    std::string TitleOf(const std::string& path) const {
        const std::vector<std::string> lines = desktop_.LogLines("INFO : ");
        for (std::size_t k = 0; k + 1 < lines.size(); ++k) {
            if (lines[k] == "New Media Set : " + path) {
                for (std::size_t next = k + 1; next < lines.size(); ++next) {
                    if (lines[next].rfind("Display : ", 0) == 0) {
                        return lines[next].substr(std::strlen("Display : "));
                    }
                }
            }
        }
        return "(no display text logged for " + path + ")";
    }

    // The desktop, its accessibility bus, the station and the program with
    // its accessibility on, connected.
    void StartAll() {
        ASSERT_TRUE(desktop_.StartSessionBus()) << ReadFile(desktop_.Path("dbus-daemon.log"));
        ASSERT_TRUE(desktop_.StartAccessibilityBus()) << ReadFile(desktop_.Path("at-spi-bus-launcher.log"));
        ASSERT_NO_FATAL_FAILURE(StartStation());
        if (IsSkipped()) return;
        StartVorn({"QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1"});
        window_ = ConnectedWindow();
        ASSERT_FALSE(window_.empty());
        listener_ = std::stoi(desktop_.StoreValue("user_id_0"));
    }

    bool Reader(const std::vector<std::string>& arguments, std::string* output = nullptr) {
        std::vector<std::string> argv = {"/usr/bin/python3", std::string(VORN_TEST_STUBS) + "/screen_reader.py",
                                         kApplication};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::string printed;
        const bool ok = desktop_.RunOnBus(argv, &printed);
        if (output != nullptr) *output = printed;
        return ok;
    }
    // The JSON line of the object with this role and name ("role": "push button"
    // and "name": "Play"), empty when the reader does not find it.
    std::string Object(const std::string& role, const std::string& name) {
        std::string tree;
        if (!Reader({"tree"}, &tree)) return {};
        std::istringstream lines(tree);
        for (std::string line; std::getline(lines, line);) {
            if (Has(line, "\"role\": \"" + role + "\"") && Has(line, "\"name\": \"" + name + "\"")) return line;
        }
        return {};
    }
    bool Eventually(const std::string& role, const std::string& name, const std::string& fragment,
                    std::string* last = nullptr) {
        std::string line;
        const bool found = vorn::test::Eventually(
            [&] {
                line = Object(role, name);
                return Has(line, fragment);
            },
            15000);
        if (last != nullptr) *last = line;
        return found;
    }

    // Records what a screen reader hears from now on.
    void Listen() {
        listening_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/bin/python3", std::string(VORN_TEST_STUBS) + "/screen_reader.py",
                                     kApplication, "listen", desktop_.Path("heard.txt")},
            std::vector<std::string>{"DBUS_SESSION_BUS_ADDRESS=" + desktop_.SessionBusAddress(),
                                     "DISPLAY=" + desktop_.XDisplay()},
            desktop_.Path("listener.log"));
        ASSERT_TRUE(vorn::test::Eventually([&] { return !Heard("\"event\": \"ready\"").empty(); }, 30000))
            << ReadFile(desktop_.Path("listener.log"));
    }
    // The events heard that contain every fragment.
    std::vector<std::string> Heard(const std::string& fragment, const std::string& also = std::string()) const {
        std::vector<std::string> found;
        std::istringstream lines(ReadFile(desktop_.Path("heard.txt")));
        for (std::string line; std::getline(lines, line);) {
            if (Has(line, fragment) && Has(line, also)) found.push_back(line);
        }
        return found;
    }
    bool HeardEventually(const std::string& fragment, const std::string& also) const {
        return vorn::test::Eventually([&] { return !Heard(fragment, also).empty(); }, 30000);
    }

    std::string window_;
    int listener_ = 0;
    std::unique_ptr<ChildProcess> listening_;
};

TEST_F(AccessibilityEndToEndTest, AScreenReaderFindsEveryControlAndPlaysAndRatesThroughThem) {
    ASSERT_NO_FATAL_FAILURE(StartAll());
    if (IsSkipped()) return;
    ASSERT_NO_FATAL_FAILURE(Listen());

    // Every control by role and name, with its actions; the window tells its state.
    EXPECT_TRUE(Has(Object("frame", kMainTitle), "\"description\": \"Stopped\""));
    EXPECT_TRUE(Has(Object("push button", "Play"), "\"actions\": [\"Press\"]"));
    EXPECT_TRUE(Has(Object("push button", "Previous"), "\"actions\": [\"Press\", \"Seek back\"]"));
    EXPECT_TRUE(Has(Object("push button", "Next"), "\"actions\": [\"Press\", \"Seek forward\"]"));
    const std::string rating = Object("slider", "Rating");
    EXPECT_TRUE(Has(rating, "\"Rate 1 star\", \"Rate 2 stars\", \"Rate 3 stars\", \"Rate 4 stars\", \"Rate 5 stars\""))
        << rating;
    EXPECT_TRUE(Has(rating, "\"value\": 0.0, \"maximum\": 5.0")) << rating;
    EXPECT_TRUE(Has(Object("label", kWelcome), std::string("\"text\": \"") + kWelcome + "\""));
    const std::string alert = Object("notification", "");
    EXPECT_FALSE(alert.empty());
    EXPECT_FALSE(Has(alert, "showing")) << alert;

    // "Press" on Play plays from the station: the display is renamed after the
    // track, whole (not the scrolled part), and the button becomes "Pause".
    ASSERT_TRUE(Reader({"act", "push button", "Play", "Press"}));
    ASSERT_TRUE(desktop_.WaitForLogLines(kNewMedia, 1, 30000)) << "pressing Play through AT-SPI played nothing";
    const std::string first = desktop_.LogLines(kNewMedia)[0];
    EXPECT_TRUE(HeardEventually("accessible-name\", \"role\": \"label\"", "\"name\": \"" + TitleOf(first) + "\""));
    EXPECT_FALSE(Object("push button", "Pause").empty());
    EXPECT_FALSE(Object("label", TitleOf(first)).empty());

    // Setting the rating's value rates the track at the station.
    ASSERT_TRUE(Reader({"set-value", "slider", "Rating", "4"}));
    EXPECT_EQ(WaitForStationRatings(listener_, 1, 15000), (std::vector<std::pair<int, int>>{{ItemOf(first), 4}}));
    std::string line;
    EXPECT_TRUE(Eventually("slider", "Rating", "\"value\": 4.0", &line)) << line;
    EXPECT_TRUE(Reader({"act", "push button", "Next", "Seek forward"}));

    // The next track ends unrated: a screen reader hears the alert, and the
    // window says what it waits for.
    const std::size_t asked = desktop_.LogLines(kRatingWanted).size();
    ASSERT_TRUE(desktop_.WaitForLogLines(kNewMedia, 2, 60000));
    ASSERT_TRUE(desktop_.WaitForLogLines(kRatingWanted, asked + 1, 60000));
    const std::string second = desktop_.LogLines(kNewMedia)[1];
    EXPECT_TRUE(HeardEventually("\"name\": \"" + TitleOf(second) + "\"", "accessible-name"));
    EXPECT_TRUE(HeardEventually("\"event\": \"object:state-changed:showing\", \"role\": \"notification\", "
                                "\"name\": \"Rate this track to continue\", \"detail1\": 1",
                                ""));
    EXPECT_TRUE(Eventually("frame", kMainTitle, ", waiting for a rating\"", &line)) << line;

    // A star's action answers it.
    ASSERT_TRUE(Reader({"act", "slider", "Rating", "Rate 2 stars"}));
    const auto ratings = WaitForStationRatings(listener_, 2, 15000);
    EXPECT_EQ(ratings.size(), 2u);
    EXPECT_NE(std::find(ratings.begin(), ratings.end(), std::make_pair(ItemOf(second), 2)), ratings.end());
    EXPECT_TRUE(HeardEventually("\"role\": \"notification\"", "\"detail1\": 0"));
    EXPECT_TRUE(Eventually("frame", kMainTitle, "\"description\": \"", &line));
    EXPECT_FALSE(Has(line, "waiting for a rating")) << line;
}

// Tracks long enough that none ends while the keys are typed.
class KeyboardEndToEndTest : public AccessibilityEndToEndTest {
protected:
    KeyboardEndToEndTest() { trackSeconds_ = 30; }

    // Types into whatever has the keyboard now.
    bool Type(const std::string& keys) { return desktop_.Xdotool("key --delay 60 " + keys); }
};

TEST_F(KeyboardEndToEndTest, TheKeyboardAloneRunsTheListeningCycle) {
    ASSERT_NO_FATAL_FAILURE(StartAll());
    if (IsSkipped()) return;
    std::string line;

    // The window manager gives the new window the keyboard; the play button has it.
    ASSERT_TRUE(desktop_.Keys(window_, "space"));
    ASSERT_TRUE(desktop_.WaitForLogLines(kNewMedia, 1, 30000)) << "Space did not play";
    const std::string first = desktop_.LogLines(kNewMedia)[0];
    ASSERT_TRUE(Type("4"));
    EXPECT_EQ(WaitForStationRatings(listener_, 1, 15000), (std::vector<std::pair<int, int>>{{ItemOf(first), 4}}));

    // The keys used show the focus on play; Tab moves it to back and forward,
    // where Space is Next.
    ASSERT_TRUE(Type("Tab Tab"));
    EXPECT_TRUE(Eventually("push button", "Next", "\"focused\"", &line)) << line;
    ASSERT_TRUE(Type("Right Left space"));
    ASSERT_TRUE(desktop_.WaitForLogLines(kNewMedia, 2, 30000)) << "Space on the forward button did not move on";
    const std::string second = desktop_.LogLines(kNewMedia)[1];

    // The menu key opens the menu and Escape closes it, the player staying.
    const std::size_t windows = desktop_.ProgramWindows().size();
    ASSERT_TRUE(Type("Menu"));
    ASSERT_TRUE(vorn::test::Eventually([&] { return desktop_.ProgramWindows().size() > windows; }, 5000))
        << "the Menu key opened no menu";
    ASSERT_TRUE(Type("Escape"));
    ASSERT_TRUE(vorn::test::Eventually([&] { return desktop_.ProgramWindows().size() == windows; }, 5000));
    EXPECT_TRUE(vorn_->Running());

    // Shift+F10, Options > Preferences; Escape there returns to the player.
    ASSERT_TRUE(Type("shift+F10"));
    ASSERT_TRUE(vorn::test::Eventually([&] { return desktop_.ProgramWindows().size() > windows; }, 5000))
        << "Shift+F10 opened no menu";
    ASSERT_TRUE(Type("Down Down Right Down Down Return"));
    EXPECT_FALSE(desktop_.FindWindow("Vorn Preferences", 10000).empty()) << "the keys did not reach Preferences";
    ASSERT_TRUE(Type("Escape"));
    ASSERT_TRUE(vorn::test::Eventually([&] { return desktop_.ProgramWindows().size() == windows; }, 5000));

    // Back in the player without the mouse: one star rates and moves on.
    ASSERT_TRUE(Type("1"));
    const auto ratings = WaitForStationRatings(listener_, 2, 15000);
    EXPECT_NE(std::find(ratings.begin(), ratings.end(), std::make_pair(ItemOf(second), 1)), ratings.end())
        << "the keyboard did not come back to the player after Preferences";
    ASSERT_TRUE(desktop_.WaitForLogLines(kNewMedia, 3, 30000));

    // Alt+W, a hot key grabbed on the display, toggles once in the window too:
    // the Tab typed after it is seen once any second toggle would have been.
    ASSERT_TRUE(Eventually("frame", kMainTitle, "\"description\": \"Playing\"", &line)) << line;
    ASSERT_TRUE(Type("alt+w Tab"));
    EXPECT_TRUE(Eventually("slider", "Rating", "\"focused\"", &line)) << line;
    EXPECT_TRUE(Has(Object("frame", kMainTitle), "\"description\": \"Paused\""));
    EXPECT_EQ(desktop_.LogLines(kNewMedia).size(), 3u);
}

}  // namespace
}  // namespace vorn::test
