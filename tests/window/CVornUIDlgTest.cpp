#include <gtest/gtest.h>
#include <gst/gst.h>

#include <QAction>
#include <QMenu>
#include <QPaintEvent>

#include <filesystem>
#include <thread>

#include "foundation/Preferences.h"
#include "foundation/ServerConfig.h"
#include "imaging/PicturePreload.h"
#include "library/VornPlaylist.h"
#include "library/VornPlaylistItem.h"
#include "tests/ui/QtTestSupport.h"
#include "tests/window/WindowTestSupport.h"
#include "ui/CSkinButton.h"
#include "ui/CVNDisplayControl.h"
#include "ui/CVNRatingControl.h"
#include "ui/MediaGraph.h"
#include "ui/MenuCommands.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using test::PumpUntil;

QAction* FindAction(QMenu* menu, int id) {
    for (QAction* action : menu->actions()) {
        if (action->data().toInt() == id && !action->menu()) return action;
        if (action->menu() != nullptr) {
            if (QAction* found = FindAction(action->menu(), id)) return found;
        }
    }
    return nullptr;
}

class CVornUIDlgTest : public ::testing::Test {
protected:
    test::WindowFixture fixture_;
};

TEST(ShowTimeTest, FormatsHoursMinutesAndSeconds) {
    EXPECT_EQ(CVornUIDlg::FormatTime(83, 245), "0:01:23 / 0:04:05");
    EXPECT_EQ(CVornUIDlg::FormatTime(3725, 36000), "1:02:05 / 10:00:00");
    EXPECT_EQ(CVornUIDlg::FormatTime(0, 59), "0:00:00 / 0:00:59");
    // The last position past the reported length shows as the end; without a
    // length the position stands as it is.
    EXPECT_EQ(CVornUIDlg::FormatTime(8, 7), "0:00:07 / 0:00:07");
    EXPECT_EQ(CVornUIDlg::FormatTime(5, 0), "0:00:05 / 0:00:00");
}

TEST_F(CVornUIDlgTest, InitialisationBuildsTheSkinnedWindow) {
    auto window = std::make_unique<test::TestWindow>();
    EXPECT_FALSE(window->SetDisplayText("too early"));  // not initialised yet
    window.reset();
    window = fixture_.Open();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->windowTitle(), "Vorn Custom Radio");
    EXPECT_TRUE(window->WindowReady().Wait(0));
    ASSERT_EQ(window->Layer(0).size(), 2u);
    EXPECT_EQ(window->Layer(0)[0]->Name(), "CVNForwardButton");
    EXPECT_EQ(window->Layer(0)[1]->Name(), "CVNBackButton");
    ASSERT_EQ(window->Layer(1).size(), 3u);
    EXPECT_EQ(window->Layer(1)[0]->Name(), "CVNPlayButton");
    EXPECT_EQ(window->Layer(1)[1]->Name(), "CVNRatingControl");
    EXPECT_EQ(window->Layer(1)[2]->Name(), "CVNDisplayControl");
    EXPECT_TRUE(window->Layer(2).empty());
    EXPECT_TRUE(window->IsDraggable());
    EXPECT_TRUE(window->HasTimer(TIMER_MEDIA_POLL));
    EXPECT_TRUE(window->HasTimer(TIMER_DISPLAY_SCROLL));
    EXPECT_TRUE(window->HasTimer(TIMER_CONTROL_TICK));
    EXPECT_TRUE(window->SetDisplayText("Hello", "World"));
    EXPECT_EQ(window->Display()->Line1(), "Hello");
    EXPECT_TRUE(window->SetDisplayText("", "Second only"));
    EXPECT_EQ(window->Display()->Line1(), "Hello");
    EXPECT_EQ(window->Display()->Line2(), "Second only");
}

// A window that notes what was ready when its first frame was painted, and
// that may leave its frames unpainted (as a window started minimised is).
class FirstFrameWindow : public test::TestWindow {
public:
    bool paints = true;
    bool painted = false;
    bool readyAtFirstFrame = false;
    bool mediaAtFirstFrame = false;
    bool displayAtFirstFrame = false;
    std::size_t controlsAtFirstFrame = 0;

protected:
    void paintEvent(QPaintEvent* event) override {
        if (!painted) {
            painted = true;
            readyAtFirstFrame = IsUiReady();
            mediaAtFirstFrame = gst_is_initialized();
            displayAtFirstFrame = Display() != nullptr;
            controlsAtFirstFrame = Layer(0).size() + Layer(1).size();
        }
        if (paints) test::TestWindow::paintEvent(event);
    }
};

// A start decodes the skin while the window system is set up; the window takes
// those pictures as they were read then, a damaged one included.
TEST_F(CVornUIDlgTest, PicturesDecodedAheadMakeTheSameWindowAndADamagedOneStillStopsTheStart) {
    const auto rows = [](const CSkinImage& image) {
        std::string bytes;
        for (int y = 0; y < image.Height(); ++y) {
            bytes.append(reinterpret_cast<const char*>(image.Row(y)), static_cast<std::size_t>(image.Width()) * 4);
        }
        return bytes;
    };
    std::string background;
    {
        auto window = fixture_.Open();
        ASSERT_NE(window, nullptr);
        background = rows(*window->Background());
        EXPECT_FALSE(window->windowIcon().isNull());
    }

    // The skin is taken away once decoded: only what was read ahead can serve.
    const fs::path resources = fixture_.home / "resources";
    fs::remove(resources);
    fs::copy(VORN_SOURCE_DIR "/resources", resources, fs::copy_options::recursive);
    {
        PicturePreload ahead(CVornUIDlg::PictureFiles());
        ahead.Take("nothing asked for");  // waits for the decoding to end
        fs::remove_all(resources);
        auto window = fixture_.Open(&ahead);
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(window->SkinError(), "");
        EXPECT_EQ(rows(*window->Background()), background);
        EXPECT_FALSE(window->windowIcon().isNull());
    }

    fs::copy(VORN_SOURCE_DIR "/resources", resources, fs::copy_options::recursive);
    const std::string damaged = (resources / "vorn stars on.png").string();
    fs::resize_file(damaged, 100);
    PicturePreload ahead(CVornUIDlg::PictureFiles());
    ahead.Take("nothing asked for");
    fs::copy_file(VORN_SOURCE_DIR "/resources/vorn stars on.png", damaged, fs::copy_options::overwrite_existing);
    test::TestWindow window(&ahead);
    EXPECT_EQ(window.SkinError(), "Opening ./resources/vorn stars on.png failed");
    EXPECT_NE(fixture_.log.Text().find("CSkinImage : Opening ./resources/vorn stars on.png failed : "),
              std::string::npos)
        << fixture_.log.Text();
}

TEST_F(CVornUIDlgTest, TheFirstFrameShowsTheControlsAndTheRestFollowsIt) {
    FirstFrameWindow window;
    window.show();
    ASSERT_TRUE(PumpUntil([&] { return window.IsUiReady(); }));
    ASSERT_TRUE(window.painted);
    EXPECT_EQ(window.controlsAtFirstFrame, 5u) << "the first frame must show the skin's controls";
    EXPECT_FALSE(window.readyAtFirstFrame);
    EXPECT_FALSE(window.mediaAtFirstFrame) << "the media framework started before the first frame";
    EXPECT_FALSE(window.displayAtFirstFrame) << "texts were accepted before the first frame";
    // Then all of it, the window-ready event last of the window's own part.
    EXPECT_TRUE(window.WindowReady().Wait(0));
    ASSERT_NE(window.Graph(), nullptr);
    EXPECT_NE(window.Desktop(), nullptr);
    EXPECT_TRUE(window.HasTimer(TIMER_MEDIA_POLL));
    EXPECT_FALSE(window.windowIcon().isNull());
    EXPECT_TRUE(window.SetDisplayText("Hello"));

    // A press of play that leaves the listener waiting for music has the
    // media graph built meanwhile, once the plugins it starts loading are there.
    EXPECT_EQ(window.Graph()->PreparedPipeline(), nullptr);
    window.OnPlayButton(1);
    EXPECT_TRUE(PumpUntil([&] { return window.Graph()->PreparedPipeline() != nullptr; }, 60000));
    EXPECT_TRUE(window.PluginsLoaded());
}

TEST_F(CVornUIDlgTest, AWindowNeverDrawnFinishesItsInitialisationAllTheSame) {
    FirstFrameWindow window;
    window.paints = false;
    window.show();
    ASSERT_TRUE(PumpUntil([&] { return window.IsUiReady(); }));
    EXPECT_TRUE(window.WindowReady().Wait(0));
    EXPECT_TRUE(PumpUntil([&] { return window.PluginsLoaded(); }, 60000));
}

TEST_F(CVornUIDlgTest, AFileSetBeforeTheRestOfTheInitialisationIsLoaded) {
    // A press of play between the first frame and the rest of the start: its
    // file must load, not be refused as unplayable (which drops it from the library).
    fixture_.WriteLibrary(1, 1.0);
    test::TestWindow window;
    VornPlaylistItem* item = window.Playlist().NextItem();
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(window.SetMedia(item));
    EXPECT_TRUE(window.IsMediaLoaded());
}

TEST_F(CVornUIDlgTest, TheMenuGraysTheChoiceInForce) {
    auto window = fixture_.Open();
    ASSERT_NE(window, nullptr);
    {
        auto menu = window->BuildMenu(false);
        EXPECT_TRUE(FindAction(menu.get(), ID_ALWAYS_ON_TOP)->isEnabled());
        EXPECT_FALSE(FindAction(menu.get(), ID_NORMAL)->isEnabled());
        EXPECT_FALSE(FindAction(menu.get(), ID_HOTKEYS_ENABLE)->isEnabled());  // hot keys are on by default
        EXPECT_TRUE(FindAction(menu.get(), ID_HOTKEYS_DISABLE)->isEnabled());
        for (int id : {ID_HELP, ID_PREFERENCES, ID_OPEN_MEDIA_FOLDER, ID_DELETE_LOW_RATED, ID_FEEDBACK, ID_ABOUT,
                       ID_EXIT}) {
            EXPECT_NE(FindAction(menu.get(), id), nullptr) << id;
        }
    }
    window->OnCommand(ID_ALWAYS_ON_TOP);
    window->OnCommand(ID_HOTKEYS_DISABLE);
    EXPECT_TRUE(Preferences::Global().GetAlwaysOnTop());
    EXPECT_FALSE(Preferences::Global().GetHotKeys());
    EXPECT_TRUE(window->windowFlags() & Qt::WindowStaysOnTopHint);
    {
        auto menu = window->BuildMenu(false);
        EXPECT_FALSE(FindAction(menu.get(), ID_ALWAYS_ON_TOP)->isEnabled());
        EXPECT_TRUE(FindAction(menu.get(), ID_NORMAL)->isEnabled());
        EXPECT_TRUE(FindAction(menu.get(), ID_HOTKEYS_ENABLE)->isEnabled());
        EXPECT_FALSE(FindAction(menu.get(), ID_HOTKEYS_DISABLE)->isEnabled());
        // The tray's menu offers both hot-key commands whatever the preference.
        auto tray = window->BuildMenu(true);
        EXPECT_TRUE(FindAction(tray.get(), ID_HOTKEYS_ENABLE)->isEnabled());
        EXPECT_TRUE(FindAction(tray.get(), ID_HOTKEYS_DISABLE)->isEnabled());
        EXPECT_FALSE(FindAction(tray.get(), ID_ALWAYS_ON_TOP)->isEnabled());
    }
    window->OnCommand(ID_NORMAL);
    EXPECT_FALSE(window->windowFlags() & Qt::WindowStaysOnTopHint);
    Preferences again;
    EXPECT_FALSE(again.GetAlwaysOnTop());
    EXPECT_FALSE(again.GetHotKeys());
}

TEST_F(CVornUIDlgTest, CommandsOpenOurPagesAndExitEndsWithOk) {
    auto window = fixture_.Open();
    ASSERT_NE(window, nullptr);
    window->OnCommand(ID_HELP);
    window->OnCommand(ID_FEEDBACK);
    window->OnCommand(ID_OPEN_MEDIA_FOLDER);
    window->OnCommand(ID_ABOUT);
    ASSERT_EQ(window->opened.size(), 3u);
    EXPECT_EQ(window->opened[0], ServerConfig::HelpPageUrl());
    EXPECT_EQ(window->opened[0], "http://localhost:8000/help.html");
    EXPECT_EQ(window->opened[1].rfind("mailto:", 0), 0u);
    EXPECT_EQ(window->opened[2], "file://" + fixture_.Media());
    EXPECT_EQ(window->aboutBoxes, 1);

    window->OnCommand(ID_EXIT);
    EXPECT_EQ(window->result(), kResultOk);
    EXPECT_FALSE(window->isVisible());

    auto again = fixture_.Open();
    ASSERT_NE(again, nullptr);
    again->reject();  // Escape: the program starts over
    EXPECT_EQ(again->result(), kResultCancel);

    // The start-up thread's shutdown after an update prompt ends with OK.
    auto third = fixture_.Open();
    ASSERT_NE(third, nullptr);
    std::thread startup([&] { third->SendMessage(MSG_SHUTDOWN); });
    ASSERT_TRUE(PumpUntil([&] { return !third->isVisible(); }));
    startup.join();
    EXPECT_EQ(third->result(), kResultOk);
}

TEST_F(CVornUIDlgTest, AMediaFolderThatCannotChangeReopensTheOptions) {
    auto window = fixture_.Open();
    ASSERT_NE(window, nullptr);
    window->optionsDialog = [&] {
        if (window->optionsShown == 1) {
            Preferences::Global().SetMediaDir("/proc/no/such/place/");
            return true;  // OK pressed
        }
        return false;  // cancelled the second time
    };
    window->OnCommand(ID_PREFERENCES);
    EXPECT_EQ(window->optionsShown, 2);
    ASSERT_EQ(window->messages.size(), 1u);
    EXPECT_EQ(window->messages[0].caption, "Error Resetting Media folder");
    EXPECT_EQ(window->messages[0].text,
              "There was an error resetting the media folder. Please re-enter the path you wish to use.");
    EXPECT_EQ(Preferences::Global().GetMediaDir(), fixture_.Media());  // restored by the failed move
}

TEST_F(CVornUIDlgTest, RatingKeysDoNothingWithoutACurrentItem) {
    auto window = fixture_.Open();
    ASSERT_NE(window, nullptr);
    for (int id = HOTKEY_RATE_1; id < HOTKEY_RATE_1 + 5; ++id) window->OnHotKey(id);
    EXPECT_FALSE(window->OnRate(4));
    EXPECT_EQ(window->RatingControl()->Rating(), 0);
    PumpUntil([] { return false; }, 300);
    EXPECT_FALSE(fixture_.log.Contains("Error Getting Ratings"));  // nothing was queued
}

TEST_F(CVornUIDlgTest, SettingMediaLoadsTheFileAndReportsFailures) {
    fixture_.WriteLibrary(2, 1.0);
    std::filesystem::remove(fixture_.Media() + "UnRated/song2.mp3");
    // song2's file is gone: relocation drops it, so break song1's copy instead later.
    auto window = fixture_.Open();
    ASSERT_NE(window, nullptr);
    VornPlaylistItem* item = window->Playlist().NextItem();
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(window->SetMedia(item));
    EXPECT_TRUE(window->IsMediaLoaded());
    EXPECT_EQ(window->Graph()->State(), MediaGraph::kStopped);
    EXPECT_TRUE(window->Display()->IsClickable());
    EXPECT_TRUE(fixture_.log.Contains("INFO : New Media Set : " + item->FullPath()));

    test::WriteFile(item->FullPath(), "not an mp3 at all");
    EXPECT_FALSE(window->SetMedia(item));
    EXPECT_FALSE(window->IsMediaLoaded());
    EXPECT_EQ(window->Graph()->State(), MediaGraph::kEmpty);
    EXPECT_TRUE(fixture_.log.Contains("CVornUIDlgDirectShow : Error setting Media : " + item->FullPath() + " DS Error = -"));

    // No path: the graph is released and the loaded flag stays as it was.
    window->SetMediaLoaded(true);
    EXPECT_TRUE(window->SetMedia(nullptr));
    EXPECT_FALSE(window->Display()->IsClickable());
}

TEST_F(CVornUIDlgTest, TheSourceLinkOpensOnlyForWebPages) {
    fixture_.WriteLibrary(1, 1.0);
    auto window = fixture_.Open();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->OnDisplayClick(1));
    EXPECT_TRUE(window->opened.empty());  // no current item
    ASSERT_TRUE(window->Play());
    EXPECT_TRUE(window->OnDisplayClick(1));
    ASSERT_EQ(window->opened.size(), 1u);
    EXPECT_EQ(window->opened[0], "http://station.example/item/1");
}

TEST_F(CVornUIDlgTest, PlaybackRunsTheTimeAndTheEndAsksForARating) {
    fixture_.WriteLibrary(2, 2.0);
    auto window = fixture_.Open();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(window->OnPlayButton(1));
    EXPECT_TRUE(window->PlayButton()->IsPlayingLook());
    ASSERT_TRUE(PumpUntil([&] { return window->Graph()->State() == MediaGraph::kRunning; }));
    ASSERT_TRUE(PumpUntil([&] { return window->Display()->Line2().find(" / 0:00:02") != std::string::npos; }, 5000));
    // The end of the unrated item: the stars ask for a rating and nothing moves on.
    ASSERT_TRUE(PumpUntil([&] { return window->RatingControl()->IsAnimating(); }, 8000));
    EXPECT_EQ(window->CurrentItem()->ItemId(), 1);
    EXPECT_EQ(window->CurrentItem()->PlayState(), 2);

    // Clicking the fourth star rates it and, as it has ended, moves on.
    EXPECT_TRUE(window->OnRate(4));
    EXPECT_FALSE(window->RatingControl()->IsAnimating());
    ASSERT_NE(window->CurrentItem(), nullptr);
    EXPECT_EQ(window->CurrentItem()->ItemId(), 2);
    EXPECT_TRUE(std::filesystem::exists(fixture_.Media() + "4stars/song1.mp3"));

    // Pause and play again through the play button.
    ASSERT_TRUE(PumpUntil([&] { return window->Graph()->State() == MediaGraph::kRunning; }));
    window->OnPlayButton(1);
    ASSERT_TRUE(PumpUntil([&] { return window->Graph()->State() == MediaGraph::kPaused; }));
    EXPECT_FALSE(window->PlayButton()->IsPlayingLook());
    EXPECT_EQ(window->CurrentItem()->PlayState(), 1);
}

// Records what the display showed at each paint event of the window.
class PaintLog : public QObject {
public:
    explicit PaintLog(const CVNDisplayControl& display) : display_(display) {}
    bool eventFilter(QObject* /*watched*/, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            regions.push_back(static_cast<QPaintEvent*>(event)->region());
            shown.push_back(display_.VisibleLine1() + "|" + display_.Line2());
        }
        return false;
    }
    std::vector<QRegion> regions;
    std::vector<std::string> shown;

private:
    const CVNDisplayControl& display_;
};

TEST_F(CVornUIDlgTest, WhilePlayingOnlyTheTimeLineRepaintsAndOnlyForANewSecond) {
    fixture_.WriteLibrary(1, 6.0);
    auto window = fixture_.Open();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(window->OnPlayButton(1));
    ASSERT_TRUE(PumpUntil([&] { return window->Graph()->State() == MediaGraph::kRunning; }));
    ASSERT_TRUE(PumpUntil([&] { return window->Display()->Line2().rfind("0:00:01 / ", 0) == 0; }, 5000));
    ASSERT_LE(window->Display()->Line1().size(), 28u) << "a title that fits: it does not scroll";

    // Three seconds of 500 ms media polls and 200 ms scroll ticks.
    PaintLog log(*window->Display());
    window->installEventFilter(&log);
    PumpUntil([] { return false; }, 3000);
    window->removeEventFilter(&log);

    const QRect display = window->Display()->Line2Rect();
    ASSERT_FALSE(log.shown.empty()) << "the time line never moved";
    EXPECT_LE(log.shown.size(), 4u);
    std::string before = "0:00:01";
    for (std::size_t i = 0; i < log.shown.size(); ++i) {
        EXPECT_TRUE((log.regions[i] - display).isEmpty())
            << "paint " << i << " reached beyond the time line: " << log.regions[i].boundingRect().x() << ","
            << log.regions[i].boundingRect().y() << " " << log.regions[i].boundingRect().width() << "x"
            << log.regions[i].boundingRect().height();
        EXPECT_EQ(log.shown[i].find(before), std::string::npos) << "a repaint that changed nothing: " << log.shown[i];
        before = log.shown[i].substr(log.shown[i].find('|') + 1, 7);
    }
}

}  // namespace
}  // namespace vorn
