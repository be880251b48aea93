// The main window as a native Wayland client of a headless weston started for
// this binary: what the compositor is given (a translucent surface, the skin's
// outline as the input region) and what Wayland does not allow (keeping on top,
// grabbing keys), handled rather than faked.

#include <QGuiApplication>
#include <QMenu>
#include <QWindow>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "tests/app/WestonServer.h"
#include "tests/ui/QtTestSupport.h"
#include "tests/window/WindowTestSupport.h"
#include "ui/COptionsDialog.h"
#include "ui/CSkinImage.h"
#include "ui/CVornAboutDlg.h"
#include "ui/CVNRatingControl.h"
#include "ui/MenuCommands.h"

namespace vorn {
namespace {

test::WestonServer* compositor = nullptr;

class WestonEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        compositor = new test::WestonServer();
        for (const std::string& change : compositor->ClientEnvironment()) {
            const std::size_t equals = change.find('=');
            if (equals == std::string::npos) {
                ::unsetenv(change.c_str());
            } else {
                ::setenv(change.substr(0, equals).c_str(), change.substr(equals + 1).c_str(), 1);
            }
        }
    }
    void TearDown() override {
        // Qt's connection goes first: a client whose compositor goes away exits.
        delete QCoreApplication::instance();
        delete compositor;
        compositor = nullptr;
    }
};

[[maybe_unused]] auto* const environment = ::testing::AddGlobalTestEnvironment(new WestonEnvironment);

QAction* FindAction(QMenu& menu, int id) {
    for (QAction* action : menu.findChildren<QAction*>()) {
        if (action->data().toInt() == id) return action;
    }
    return nullptr;
}

TEST(WaylandWindowTest, SkinIsATranslucentSurfaceWithTheOutlineAsInputRegion) {
    ASSERT_FALSE(compositor->Socket().empty()) << compositor->LogText();
    test::WindowFixture fixture;
    auto window = fixture.Open();
    ASSERT_NE(window, nullptr);
    ASSERT_EQ(QGuiApplication::platformName(), "wayland") << "Qt did not pick Wayland by itself";
    ASSERT_TRUE(test::PumpUntil([&] { return window->windowHandle() != nullptr && window->windowHandle()->isExposed(); }))
        << "the compositor did not show the window";

    // Per-pixel alpha: a surface with alpha, transparent beside the skin.
    EXPECT_TRUE(window->testAttribute(Qt::WA_TranslucentBackground));
    // Qt's Wayland platform marks no part of the surface opaque when the
    // window asked for alpha; its shared-memory buffers carry it.
    EXPECT_EQ(window->windowHandle()->requestedFormat().alphaBufferSize(), 8);
    const QImage& surface = window->Surface();
    EXPECT_EQ(qAlpha(surface.pixel(0, 0)), 0);
    EXPECT_EQ(qAlpha(surface.pixel(72, 66)), 255);
    // The window's mask, which Qt's Wayland platform hands to the compositor as
    // the surface's input region: exactly the skin's outline.
    const QRegion outline = CSkinDialog::ShapeFromImage(*window->Background(), window->size());
    EXPECT_FALSE(outline.isEmpty());
    EXPECT_EQ(window->windowHandle()->mask(), outline);
    EXPECT_FALSE(window->windowHandle()->mask().contains(QPoint(2, 2)));

    // "Always On Top" grayed, saying why; no key grab attempted.
    std::unique_ptr<QMenu> menu = window->BuildMenu(false);
    QAction* onTop = FindAction(*menu, ID_ALWAYS_ON_TOP);
    ASSERT_NE(onTop, nullptr);
    EXPECT_FALSE(onTop->isEnabled());
    EXPECT_FALSE(FindAction(*menu, ID_NORMAL)->isEnabled());
    EXPECT_NE(onTop->toolTip().indexOf("Wayland"), -1) << onTop->toolTip().toStdString();
    EXPECT_TRUE(fixture.log.Contains("HotKeys : On Wayland only the desktop portal's global shortcuts serve"));

    // A rating request on Wayland: the stars sweep; nothing fails on the raise.
    window->AskForRating();
    EXPECT_TRUE(test::PumpUntil([&] { return window->RatingControl()->IsAnimating(); }));
}

// Qt answers a frame on a thread of its own; a window that goes while an
// answer is in flight crashed the program (the answers are slowed down here so
// that every close meets one). Hiding waits for the answer first.
TEST(WaylandWindowTest, AWindowClosedWhileItDrawsWaitsForTheCompositorsAnswer) {
    ASSERT_FALSE(compositor->Socket().empty()) << compositor->LogText();
    for (int round = 0; round < 40; ++round) {
        test::WindowFixture fixture;
        auto window = fixture.Open();
        ASSERT_NE(window, nullptr);
        ASSERT_TRUE(test::PumpUntil([&] { return window->windowHandle()->isExposed(); }));
        // The stars' sweep draws a frame after another.
        window->AskForRating();
        ASSERT_TRUE(test::PumpUntil([&] { return window->RatingControl()->IsAnimating(); }));
        test::PumpUntil([] { return false; }, round % 20);
        if (round % 2 == 0) {
            window->hide();
            EXPECT_FALSE(window->isVisible());
            EXPECT_TRUE(window->updatesEnabled()) << "shown again, it must draw";
        }
        window.reset();
    }
}

// The plain dialogs too: each draws a frame and is closed while its answer
// may be in flight.
TEST(WaylandWindowTest, DialogsClosedRightAfterAFrameWaitForTheAnswer) {
    ASSERT_FALSE(compositor->Socket().empty()) << compositor->LogText();
    test::WindowFixture fixture;  // the program's settings, for the options
    for (int round = 0; round < 40; ++round) {
        std::unique_ptr<QDialog> dialog;
        if (round % 2 == 0) {
            dialog = std::make_unique<CVornAboutDlg>();
        } else {
            dialog = std::make_unique<COptionsDialog>();
        }
        dialog->show();
        ASSERT_TRUE(test::PumpUntil([&] { return dialog->windowHandle()->isExposed(); }));
        dialog->repaint();
        test::PumpUntil([] { return false; }, round % 25);
        dialog->reject();
        EXPECT_FALSE(dialog->isVisible());
    }
}

}  // namespace
}  // namespace vorn
