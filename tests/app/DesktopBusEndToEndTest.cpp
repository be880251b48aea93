// The real program on a private session bus: the desktop's media controls
// (playerctl, gdbus and dbus-monitor as a listener's desktop would use them)
// against the real window and station.
#include <QColor>
#include <QImage>
#include <QUrl>

#include <gtest/gtest.h>

#include <csignal>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

#include "tests/app/EndToEndTest.h"
#include "tests/app/WestonServer.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kBusName = "org.mpris.MediaPlayer2.vorn";
constexpr const char* kPath = "/org/mpris/MediaPlayer2";

class DesktopBusEndToEndTest : public EndToEndTest {
protected:
    // A stand-in for a desktop service (tests/app/stubs/desktop_stub.py), up
    // once it has taken its name; every call it gets is a JSON line in Records().
    void StartStub(const std::vector<std::string>& mode) {
        std::vector<std::string> argv = {"/usr/bin/python3", std::string(VORN_TEST_STUBS) + "/desktop_stub.py",
                                         desktop_.Path("stub-records.txt")};
        argv.insert(argv.end(), mode.begin(), mode.end());
        stub_ = std::make_unique<ChildProcess>(
            argv, std::vector<std::string>{"DBUS_SESSION_BUS_ADDRESS=" + desktop_.SessionBusAddress()},
            desktop_.Path("stub.log"));
        ASSERT_TRUE(Eventually([&] { return Records("ready").size() == 1; }, 10000))
            << ReadFile(desktop_.Path("stub.log"));
    }
    // The recorded calls of that name, as JSON text.
    std::vector<std::string> Records(const std::string& call) const {
        std::vector<std::string> found;
        std::istringstream lines(ReadFile(desktop_.Path("stub-records.txt")));
        for (std::string line; std::getline(lines, line);) {
            if (line.find("\"call\": \"" + call + "\"") != std::string::npos) found.push_back(line);
        }
        return found;
    }
    bool StubCall(const std::string& dest, const std::string& method, const std::vector<std::string>& args) {
        std::vector<std::string> argv = {"gdbus", "call", "--session", "--dest", dest, "--object-path",
                                         "/org/vorn/TestStub", "--method", "org.vorn.TestStub." + method};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string output;
        const bool ok = desktop_.RunOnBus(argv, &output);
        EXPECT_TRUE(ok) << output;
        return ok;
    }
    // The value of a number field of a JSON record ("id": 3).
    static int Field(const std::string& record, const std::string& name) {
        const std::size_t at = record.find("\"" + name + "\": ");
        return at == std::string::npos ? -1 : std::stoi(record.substr(at + name.size() + 4));
    }

    std::unique_ptr<ChildProcess> stub_;

    std::string Playerctl(const std::vector<std::string>& arguments) {
        std::vector<std::string> argv = {"playerctl", "-p", "vorn"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::string output;
        EXPECT_TRUE(desktop_.RunOnBus(argv, &output)) << "playerctl failed: " << output;
        while (!output.empty() && output.back() == '\n') output.pop_back();
        return output;
    }
    bool SetRating(const std::string& value, std::string* output = nullptr) {
        return desktop_.RunOnBus({"gdbus", "call", "--session", "--dest", kBusName, "--object-path", kPath, "--method",
                                  "org.freedesktop.DBus.Properties.Set", "org.mpris.MediaPlayer2.Player", "Rating",
                                  "<" + value + ">"},
                                 output);
    }
};

TEST_F(DesktopBusEndToEndTest, PlayerctlControlsThePlayerAndTheRatingPropertyRates) {
    ASSERT_TRUE(desktop_.StartSessionBus()) << ReadFile(desktop_.Path("dbus-daemon.log"));
    ASSERT_NO_FATAL_FAILURE(StartStation());
    if (IsSkipped()) return;
    ChildProcess& program = StartVorn();
    const std::string window = ConnectedWindow();
    ASSERT_FALSE(window.empty());
    const int userId = std::stoi(desktop_.StoreValue("user_id_0"));
    EXPECT_EQ(desktop_.LogLines("INFO : MprisService : Media controls on the session bus as "),
              std::vector<std::string>{kBusName});

    // Nothing current: Stopped, and a play from the desktop does nothing.
    EXPECT_EQ(Playerctl({"status"}), "Stopped");
    ASSERT_TRUE(desktop_.Click(window, kPlayX, kPlayY));
    ASSERT_TRUE(desktop_.WaitForLogLines(kNewMedia, 1, 30000));
    const std::string first = desktop_.LogLines(kNewMedia)[0];
    EXPECT_TRUE(Eventually([&] { return Playerctl({"status"}) == "Playing"; }, 5000));
    std::string metadata = Playerctl({"metadata", "--format", "{{mpris:trackid}}|{{xesam:url}}|{{xesam:userRating}}"});
    std::erase(metadata, '\'');  // playerctl quotes object paths
    const std::string itemId = metadata.substr(std::string("/org/vorn/item/").size(),
                                               metadata.find('|') - std::string("/org/vorn/item/").size());
    EXPECT_EQ(metadata.rfind("/org/vorn/item/", 0), 0u) << metadata;
    EXPECT_NE(FileName(first).find("[" + itemId + "]"), std::string::npos) << metadata << " for " << first;
    EXPECT_NE(metadata.find("|file://" + desktop_.MediaDir() + "UnRated/"), std::string::npos) << metadata;
    EXPECT_GT(std::stod(Playerctl({"position"})), 0.0);

    Playerctl({"play-pause"});
    EXPECT_TRUE(Eventually([&] { return Playerctl({"status"}) == "Paused"; }, 5000));
    Playerctl({"play"});
    EXPECT_TRUE(Eventually([&] { return Playerctl({"status"}) == "Playing"; }, 5000));

    // Next on an unrated item keeps it and asks for the rating: the stars sweep.
    const std::vector<std::uint32_t> still = desktop_.Grab(window, kStarsX, kStarsY, kStarsWidth, kStarsHeight);
    Playerctl({"next"});
    std::set<std::vector<std::uint32_t>> frames{still};
    EXPECT_TRUE(Eventually(
        [&] {
            frames.insert(desktop_.Grab(window, kStarsX, kStarsY, kStarsWidth, kStarsHeight));
            return frames.size() >= 3;
        },
        5000))
        << "the stars do not ask for a rating";
    EXPECT_EQ(desktop_.LogLines(kNewMedia).size(), 1u) << "an unrated track was left";

    // The Rating property: 0.8 is four stars, on the station, announced on the bus.
    auto watcher = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/dbus-monitor", "--session",
                                 "type='signal',interface='org.freedesktop.DBus.Properties'"},
        std::vector<std::string>{"DBUS_SESSION_BUS_ADDRESS=" + desktop_.SessionBusAddress()},
        desktop_.Path("monitor.log"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string refused;
    EXPECT_FALSE(SetRating("1.5", &refused));
    EXPECT_NE(refused.find("InvalidArgs"), std::string::npos) << refused;
    ASSERT_TRUE(SetRating("0.8"));
    const std::vector<std::pair<int, int>> ratings = WaitForStationRatings(userId, 1, 15000);
    ASSERT_FALSE(ratings.empty());
    EXPECT_EQ(ratings, (std::vector<std::pair<int, int>>{{std::stoi(itemId), 4}}));
    EXPECT_TRUE(Eventually(
        [&] { return Playerctl({"metadata", "--format", "{{xesam:userRating}}"}).rfind("0.8000", 0) == 0; }, 5000));
    EXPECT_TRUE(Eventually(
        [&] {
            const std::string seen = ReadFile(desktop_.Path("monitor.log"));
            return seen.find("\"Rating\"") != std::string::npos && seen.find("double 0.8") != std::string::npos;
        },
        5000))
        << ReadFile(desktop_.Path("monitor.log"));
    watcher.reset();

    // Rated: next moves on and files the track.
    Playerctl({"next"});
    ASSERT_TRUE(desktop_.WaitForLogLines(kNewMedia, 2, 10000));
    EXPECT_TRUE(Eventually([&] { return fs::exists(desktop_.MediaDir() + "4stars/" + FileName(first)); }, 5000));

    // Quit is the menu's Exit: the program ends by itself and writes the library.
    ASSERT_TRUE(desktop_.RunOnBus({"dbus-send", "--session", "--print-reply", std::string("--dest=") + kBusName, kPath,
                                   "org.mpris.MediaPlayer2.Quit"}));
    int status = -1;
    ASSERT_TRUE(program.WaitExit(20000, status));
    EXPECT_EQ(status, 0);
    EXPECT_NE(ReadFile(desktop_.InstallDir() + "pl.txt").find("4stars/</location>"), std::string::npos);
}

TEST_F(DesktopBusEndToEndTest, WithoutASessionBusTheProgramPlaysAndRatesAsBefore) {
    ASSERT_NO_FATAL_FAILURE(StartStation());
    if (IsSkipped()) return;
    ChildProcess& program = StartVorn();
    const std::string window = ConnectedWindow();
    ASSERT_FALSE(window.empty());
    EXPECT_EQ(desktop_.LogLines("INFO : MprisService : ").size(), 1u);
    EXPECT_TRUE(Contains(desktop_.LogLines("INFO : MprisService : "), "No session bus, media controls left out"));
    ASSERT_TRUE(desktop_.Click(window, kPlayX, kPlayY));
    ASSERT_TRUE(desktop_.WaitForLogLines(kNewMedia, 1, 30000));
    ASSERT_TRUE(desktop_.Click(window, kFourthStarX, kFourthStarY));
    const int userId = std::stoi(desktop_.StoreValue("user_id_0"));
    EXPECT_TRUE(Eventually([&] { return !StationRatings(userId).empty(); }, 15000));
    ASSERT_NO_FATAL_FAILURE(ExitFromMenu(program, window));
}

// A collection as listeners have them: an untagged Ogg Vorbis file in
// Artist/Album folders with a picture beside it. The station serves it as an
// MP3 it makes, names it from its folders, and the picture reaches the
// desktop's media controls as a file beside the track.
TEST_F(DesktopBusEndToEndTest, AnOggTrackPlaysAndItsPictureReachesTheMediaControls) {
    ASSERT_TRUE(desktop_.StartSessionBus()) << ReadFile(desktop_.Path("dbus-daemon.log"));
    const fs::path album = fs::path(desktop_.Path("collection")) / "Nordlys" / "Vinter";
    fs::create_directories(album);
    const std::string track = (album / "01 Første snø.ogg").string();
    const std::string encode = "gst-launch-1.0 -q audiotestsrc num-buffers=400 freq=440 ! audioconvert ! "
                               "vorbisenc ! oggmux ! filesink location='" + track + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(encode.c_str()), 0) << encode;
    QImage cover(600, 600, QImage::Format_RGB32);
    cover.fill(QColor(30, 90, 160));
    ASSERT_TRUE(cover.save(QString::fromStdString((album / "cover.jpg").string()), "JPEG"));

    ASSERT_NO_FATAL_FAILURE(StartStation({"--music", desktop_.Path("collection")}));
    if (IsSkipped()) return;
    // The picture is worked out in the background; the test waits for it so
    // that the first recommendation carries it.
    ASSERT_TRUE(Eventually(
        [&] {
            const fs::path art = fs::path(desktop_.Path("station")) / "art";
            return fs::exists(art) && !fs::is_empty(art);
        },
        30000))
        << ReadFile(desktop_.Path("station.log"));
    StartVorn();
    const std::string window = ConnectedWindow();
    ASSERT_FALSE(window.empty());
    ASSERT_TRUE(desktop_.Click(window, kPlayX, kPlayY));
    ASSERT_TRUE(desktop_.WaitForLogLines(kNewMedia, 1, 60000)) << ReadFile(desktop_.Path("station.log"));
    const std::string played = desktop_.LogLines(kNewMedia)[0];
    EXPECT_NE(played.find("Nordlys - Første snø ["), std::string::npos) << played;
    EXPECT_EQ(played.substr(played.size() - 4), ".mp3") << played;
    EXPECT_TRUE(Eventually([&] { return Playerctl({"status"}) == "Playing"; }, 10000));

    std::string artUrl;
    EXPECT_TRUE(Eventually(
        [&] {
            artUrl = Playerctl({"metadata", "mpris:artUrl"});
            return artUrl.rfind("file://", 0) == 0;
        },
        10000))
        << artUrl;
    const std::string picture = QUrl(QString::fromStdString(artUrl)).toLocalFile().toStdString();
    EXPECT_EQ(fs::path(picture).parent_path(), fs::path(played).parent_path()) << picture << " beside " << played;
    const QImage shown(QString::fromStdString(picture));
    EXPECT_FALSE(shown.isNull()) << picture;
    EXPECT_EQ(shown.width(), 512);  // scaled down by the station
    EXPECT_EQ(Playerctl({"metadata", "xesam:title"}), "Første snø");
}

TEST_F(DesktopBusEndToEndTest, ATrackNoticeRatesWithItsStarsAndAsksAtTheEnd) {
    ASSERT_TRUE(desktop_.StartSessionBus());
    ASSERT_NO_FATAL_FAILURE(StartStub({"notifications"}));
    ASSERT_NO_FATAL_FAILURE(StartStation());
    if (IsSkipped()) return;
    ChildProcess& program = StartVorn();
    int userId = 0;
    const std::string window = StartedPlaying(userId);
    ASSERT_FALSE(window.empty());
    const std::string first = desktop_.LogLines(kNewMedia)[0];

    ASSERT_TRUE(Eventually([&] { return Records("Notify").size() == 1; }, 5000));
    const std::string notice = Records("Notify")[0];
    EXPECT_NE(notice.find("\"app\": \"Vorn Custom Radio\""), std::string::npos) << notice;
    EXPECT_NE(notice.find("\"actions\": [\"1\", \"\\u2605\", \"2\", \"\\u2605\\u2605\""), std::string::npos)
        << notice;
    EXPECT_NE(notice.find("\"urgency\": 1"), std::string::npos) << notice;
    const std::string title = FileName(first).substr(FileName(first).find(" - ") + 3);
    EXPECT_NE(notice.find("\"summary\": \"" + title.substr(0, title.find(" ["))), std::string::npos)
        << notice << " for " << first;

    // Four stars from the notice (a moment after it showed, as a listener's
    // click would be): the station has them, the track plays on.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(StubCall("org.freedesktop.Notifications", "InvokeAction",
                         {std::to_string(Field(notice, "id")), "4"}));
    const std::vector<std::pair<int, int>> ratings = WaitForStationRatings(userId, 1, 15000);
    ASSERT_FALSE(ratings.empty());
    EXPECT_EQ(ratings[0].second, 4);
    EXPECT_NE(FileName(first).find("[" + std::to_string(ratings[0].first) + "]"), std::string::npos);

    // The next track, left unrated to its end: the notice asks and stays.
    ASSERT_TRUE(desktop_.WaitForLogLines(kNewMedia, 2, 20000));
    ASSERT_TRUE(Eventually(
        [&] {
            for (const std::string& call : Records("Notify")) {
                if (call.find("Rate this track to continue") != std::string::npos) return true;
            }
            return false;
        },
        20000))
        << "no notice asked for the rating";
    const std::string asking = Records("Notify").back();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(Field(asking, "timeout"), 0) << asking;
    // Each notice takes the place of the one before: that one is closed, and
    // the new one has an id of its own, so a late star on the old one cannot
    // rate the track the new one shows.
    const std::vector<std::string> notices = Records("Notify");
    EXPECT_TRUE(Eventually([&] { return Records("CloseNotification").size() == notices.size() - 1; }, 5000));
    for (std::size_t n = 0; n + 1 < notices.size(); ++n) {
        EXPECT_NE(Field(notices[n], "id"), Field(asking, "id"));
    }
    ASSERT_TRUE(StubCall("org.freedesktop.Notifications", "InvokeAction", {std::to_string(Field(asking, "id")), "2"}));
    EXPECT_TRUE(Eventually([&] { return StationRatings(userId).size() == 2; }, 15000));
    EXPECT_TRUE(desktop_.WaitForLogLines(kNewMedia, 3, 10000)) << "two stars did not move on";
    ASSERT_NO_FATAL_FAILURE(ExitFromMenu(program, window));
}

TEST_F(DesktopBusEndToEndTest, ANotificationServerThatNeverAnswersHoldsNothingUp) {
    ASSERT_TRUE(desktop_.StartSessionBus());
    ASSERT_NO_FATAL_FAILURE(StartStub({"notifications", "silent"}));
    ASSERT_NO_FATAL_FAILURE(StartStation());
    if (IsSkipped()) return;
    ChildProcess& program = StartVorn();
    int userId = 0;
    const std::string window = StartedPlaying(userId);
    ASSERT_FALSE(window.empty());
    // Quick clicks: the first rates and moves on, and so on.
    for (int track = 1; track <= 3; ++track) {
        ASSERT_TRUE(desktop_.Click(window, kFirstStarX, kFourthStarY));
        ASSERT_TRUE(desktop_.WaitForLogLines(kNewMedia, static_cast<std::size_t>(track) + 1, 3000))
            << "the window was held up";
    }
    EXPECT_TRUE(Eventually([&] { return StationRatings(userId).size() == 3; }, 10000));
    EXPECT_GE(Records("Notify").size(), 3u);
    EXPECT_TRUE(Eventually(
        [&] { return desktop_.LogLines("INFO : TrackNotifier : Notification server not available").size() == 1; },
        5000));
    ASSERT_NO_FATAL_FAILURE(ExitFromMenu(program, window));
    EXPECT_EQ(desktop_.LogLines("INFO : TrackNotifier : Notification server not available").size(), 1u);
}

TEST_F(DesktopBusEndToEndTest, HotKeysGoThroughTheDesktopPortalWhereItOffersThem) {
    ASSERT_TRUE(desktop_.StartSessionBus());
    ASSERT_NO_FATAL_FAILURE(StartStub({"portal"}));
    ASSERT_NO_FATAL_FAILURE(StartStation());
    if (IsSkipped()) return;
    ChildProcess& program = StartVorn();
    const std::string window = ConnectedWindow();
    ASSERT_FALSE(window.empty());
    const int userId = std::stoi(desktop_.StoreValue("user_id_0"));

    // The eleven keys bound to a portal session, with today's keys as triggers.
    ASSERT_TRUE(Eventually([&] { return Records("BindShortcuts").size() == 1; }, 10000))
        << ReadFile(desktop_.Path("stub-records.txt"));
    const std::string bound = Records("BindShortcuts")[0];
    for (const char* id : {"play-pause", "next", "previous", "rate-1", "rate-2", "rate-3", "rate-4", "rate-5",
                           "media-play", "media-next", "media-previous"}) {
        EXPECT_NE(bound.find(std::string("[\"") + id + "\", {"), std::string::npos) << id << " in " << bound;
    }
    EXPECT_NE(bound.find("\"preferred_trigger\": \"ALT+w\""), std::string::npos) << bound;

    ASSERT_TRUE(desktop_.Click(window, kPlayX, kPlayY));
    ASSERT_TRUE(desktop_.WaitForLogLines(kNewMedia, 1, 30000));
    const std::string first = desktop_.LogLines(kNewMedia)[0];
    ASSERT_TRUE(StubCall("org.freedesktop.portal.Desktop", "Activate", {"rate-4"}));
    const std::vector<std::pair<int, int>> ratings = WaitForStationRatings(userId, 1, 15000);
    ASSERT_FALSE(ratings.empty());
    EXPECT_EQ(ratings[0].second, 4);
    EXPECT_NE(FileName(first).find("[" + std::to_string(ratings[0].first) + "]"), std::string::npos);
    ASSERT_TRUE(StubCall("org.freedesktop.portal.Desktop", "Activate", {"play-pause"}));
    EXPECT_TRUE(Eventually([&] { return Playerctl({"status"}) == "Paused"; }, 5000));

    // Hotkeys > Disable closes the portal session.
    ASSERT_NO_FATAL_FAILURE(UseMenu(window, "Down Down Right Down Right Return"));
    EXPECT_TRUE(Eventually([&] { return Records("Session.Close").size() == 1; }, 5000))
        << ReadFile(desktop_.Path("stub-records.txt"));
    EXPECT_EQ(desktop_.StoreValue("pref_hk"), "0");
    ASSERT_NO_FATAL_FAILURE(ExitFromMenu(program, window));
}

// Where two screenshots differ, as one bit per pixel of `changed`; false when
// they cannot be read or differ in size.
bool Difference(const std::string& beforePath, const std::string& afterPath, QImage& changed) {
    const QImage before = QImage(QString::fromStdString(beforePath)).convertToFormat(QImage::Format_RGB32);
    const QImage after = QImage(QString::fromStdString(afterPath)).convertToFormat(QImage::Format_RGB32);
    if (before.isNull() || before.size() != after.size()) return false;
    changed = QImage(before.size(), QImage::Format_Mono);
    changed.fill(0);
    for (int y = 0; y < before.height(); ++y) {
        for (int x = 0; x < before.width(); ++x) {
            if (before.pixel(x, y) != after.pixel(x, y)) changed.setPixel(x, y, 1);
        }
    }
    return true;
}

// The smallest rectangle holding every changed pixel from row `top` down.
QRect ChangedBox(const QImage& changed, int top) {
    QRect box;
    for (int y = top; y < changed.height(); ++y) {
        for (int x = 0; x < changed.width(); ++x) {
            if (changed.pixelIndex(x, y) != 0) box |= QRect(x, y, 1, 1);
        }
    }
    return box;
}

// Natively on Wayland, on a headless weston started here: the program maps its
// window there (nothing on the X display), shaped by its own alpha on the
// compositor's screen, the portal's key plays a track from
// the station, the track ends and asks for its rating (no X11 raise), and the
// session's stop signal ends the program cleanly, with no X11 in its output.
TEST_F(DesktopBusEndToEndTest, PlaysNativelyOnAWaylandCompositor) {
    if (std::system("command -v weston >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "weston is not installed (scripts/install-deps installs it)";
    }
    WestonServer weston;
    ASSERT_FALSE(weston.Socket().empty()) << weston.LogText();
    ASSERT_TRUE(desktop_.StartSessionBus());
    ASSERT_NO_FATAL_FAILURE(StartStub({"portal"}));
    ASSERT_NO_FATAL_FAILURE(StartStation());
    if (IsSkipped()) return;
    // The desktop before the program, once the shell has faded its backdrop in:
    // two screenshots alike below the panel (whose clock moves).
    constexpr int kPanel = 40;
    const std::string empty = desktop_.Path("weston-empty.png");
    const std::string earlier = desktop_.Path("weston-earlier.png");
    QImage changed;
    ASSERT_TRUE(Eventually(
        [&] {
            std::error_code error;
            fs::copy_file(empty, earlier, fs::copy_options::overwrite_existing, error);
            return weston.Screenshot(empty) && Difference(earlier, empty, changed) &&
                   ChangedBox(changed, kPanel).isEmpty();
        },
        15000))
        << "no steady screenshot of weston's desktop";
    ChildProcess& program = StartVorn(weston.ClientEnvironment());
    ASSERT_TRUE(Eventually([&] { return Contains(desktop_.LogLines(kDisplay), kWelcome); }, 30000))
        << "the program did not connect";
    EXPECT_EQ(desktop_.LogLines("INFO : Window system : "), std::vector<std::string>{"wayland, skin at 1x"});
    EXPECT_TRUE(desktop_.ProgramWindows().empty()) << "a window on the X display";

    // On the compositor's screen exactly the skin's outline covers what was
    // there before (below weston's panel, whose clock moves): the corners
    // beside it stay see-through.
    const QImage outline(QString::fromStdString(desktop_.InstallDir() + "resources/vorn background.png"));
    ASSERT_FALSE(outline.isNull());
    QRect covered;
    const std::string shown = desktop_.Path("weston-vorn.png");
    ASSERT_TRUE(Eventually(
        [&] {
            if (!weston.Screenshot(shown) || !Difference(empty, shown, changed)) return false;
            covered = ChangedBox(changed, kPanel);
            return covered.width() > 300;
        },
        10000))
        << "the window did not show on the compositor's screen";
    QRect skin;
    for (int y = 0; y < outline.height(); ++y) {
        for (int x = 0; x < outline.width(); ++x) {
            if (qAlpha(outline.pixel(x, y)) == 255) skin |= QRect(x, y, 1, 1);
        }
    }
    EXPECT_EQ(covered.size(), skin.size());
    const QPoint origin = covered.topLeft() - skin.topLeft();  // the window's place on the screen
    int coveredBeside = 0;
    int skinUnchanged = 0;
    int skinPixels = 0;
    for (int y = kPanel; y < changed.height(); ++y) {
        for (int x = 0; x < changed.width(); ++x) {
            const QPoint at = QPoint(x, y) - origin;
            const bool inside = outline.rect().contains(at) && qAlpha(outline.pixel(at)) == 255;
            const bool differs = changed.pixelIndex(x, y) != 0;
            coveredBeside += differs && !inside ? 1 : 0;
            skinUnchanged += inside && !differs ? 1 : 0;
            skinPixels += inside ? 1 : 0;
        }
    }
    EXPECT_EQ(coveredBeside, 0) << "pixels beside the skin hide the desktop";
    if (coveredBeside != 0) {  // both screens kept for a look
        std::error_code error;
        fs::create_directories(VORN_E2E_ARTIFACTS, error);
        fs::copy_file(empty, std::string(VORN_E2E_ARTIFACTS) + "/weston-before.png", fs::copy_options::overwrite_existing, error);
        fs::copy_file(shown, std::string(VORN_E2E_ARTIFACTS) + "/weston-after.png", fs::copy_options::overwrite_existing, error);
    }
    EXPECT_LT(skinUnchanged, skinPixels / 100) << "the skin does not show";

    ASSERT_TRUE(Eventually([&] { return Records("BindShortcuts").size() == 1; }, 10000))
        << ReadFile(desktop_.Path("stub-records.txt"));
    ASSERT_TRUE(StubCall("org.freedesktop.portal.Desktop", "Activate", {"play-pause"}));
    ASSERT_TRUE(desktop_.WaitForLogLines(kNewMedia, 1, 30000));
    EXPECT_TRUE(Eventually([&] { return Playerctl({"status"}) == "Playing"; }, 10000));
    // The track plays to its end and the window asks for a rating.
    EXPECT_TRUE(desktop_.WaitForLogLines("INFO : Rating wanted", 1, 3000 + trackSeconds_ * 2000));
    EXPECT_TRUE(program.Running());

    program.Signal(SIGTERM);
    int status = -1;
    ASSERT_TRUE(program.WaitExit(20000, status)) << "the program did not end";
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(desktop_.LogLines("INFO : Shutting down").empty());
    const std::string output = ReadFile(desktop_.Path("vorn.out"));
    for (const char* x11 : {"xcb", "X11", "X Error", "BadWindow", "BadAccess"}) {
        EXPECT_EQ(output.find(x11), std::string::npos) << x11 << " in the output:\n" << output;
    }
}

}  // namespace
}  // namespace vorn::test
