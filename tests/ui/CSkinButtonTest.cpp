#include "ui/CSkinButton.h"

#include <QPainter>

#include <gtest/gtest.h>

#include "tests/ui/UiTestSupport.h"
#include "ui/ControlCallback.h"
#include "ui/SkinAreas.h"

namespace vorn {
namespace {

using test::SameColour;

const QColor kBackground(20, 20, 20);
const QColor kUp(200, 200, 200);
const QColor kPressed(100, 100, 255);
const QColor kAltUp(255, 200, 0);
const QColor kAltPressed(255, 100, 0);

class CSkinButtonTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::EnsureApplication();
        background = test::SolidImage(kBackground);
        up = test::SolidImage(kUp);
        pressed = test::SolidImage(kPressed);
        altUp = test::SolidImage(kAltUp);
        altPressed = test::SolidImage(kAltPressed);
        dialog = std::make_unique<CSkinDialog>();
        dialog->SetBackground(background.get());
        callback = std::make_unique<ControlCallback>([this](int code) {
            codes.push_back(code);
            return true;
        });
        play = std::make_unique<CSkinButton>("CVNPlayButton", dialog.get(),
                                             SkinAreas::PlayButton(), callback.get(),
                                             altPressed.get(), altUp.get(), pressed.get(),
                                             up.get());
        forward = std::make_unique<CSkinButton>("CVNForwardButton", dialog.get(),
                                                SkinAreas::ForwardButton(), callback.get(),
                                                pressed.get(), up.get());
        dialog->AddControl(forward.get(), 0);
        dialog->AddControl(play.get(), 1);
        dialog->SetDraggable(true);
    }

    void TearDown() override {
        play.reset();
        forward.reset();
        dialog.reset();
    }

    QColor Painted(const QPoint& at) {
        QImage target(CSkinDialog::kSkinWidth, CSkinDialog::kSkinHeight,
                      QImage::Format_ARGB32_Premultiplied);
        target.fill(Qt::transparent);
        QPainter dc(&target);
        dialog->PaintAll(dc);
        dc.end();
        return test::PixelAt(target, at.x(), at.y());
    }

    std::unique_ptr<CSkinImage> background, up, pressed, altUp, altPressed;
    std::unique_ptr<CSkinDialog> dialog;
    std::unique_ptr<ControlCallback> callback;
    std::unique_ptr<CSkinButton> play, forward;
    std::vector<int> codes;

    const QPoint playCentre{72, 66};
    const QPoint forwardPoint{115, 67};
    const QPoint bareSkin{300, 120};
};

TEST_F(CSkinButtonTest, EachStateAndLookPaintsItsImageOverTheArea) {
    EXPECT_TRUE(SameColour(Painted(playCentre), kUp));
    EXPECT_TRUE(SameColour(Painted(bareSkin), kBackground));

    test::Press(*dialog, playCentre);
    EXPECT_EQ(play->State(), CSkinButton::kStatePressed);
    EXPECT_TRUE(SameColour(Painted(playCentre), kPressed));
    EXPECT_TRUE(SameColour(test::PixelAt(dialog->Surface(), playCentre.x(), playCentre.y()),
                           kPressed));
    EXPECT_TRUE(SameColour(Painted(forwardPoint), kUp));
    test::Release(*dialog, playCentre);
    EXPECT_TRUE(SameColour(Painted(playCentre), kUp));

    play->SetPlayingLook();
    EXPECT_TRUE(play->IsPlayingLook());
    EXPECT_TRUE(SameColour(Painted(playCentre), kAltUp));
    EXPECT_TRUE(SameColour(test::PixelAt(dialog->Surface(), playCentre.x(), playCentre.y()),
                           kAltUp));
    test::Press(*dialog, playCentre);
    EXPECT_TRUE(SameColour(Painted(playCentre), kAltPressed));
    test::Release(*dialog, playCentre);
    play->SetStoppedLook();
    EXPECT_FALSE(play->IsPlayingLook());
    EXPECT_TRUE(SameColour(Painted(playCentre), kUp));

    // Two-image buttons use the same pair for both looks; holding shows pressed too.
    test::Press(*dialog, forwardPoint);
    for (int i = 0; i <= CSkinButton::kHoldTicks; ++i) {
        dialog->TimerTick(TIMER_CONTROL_TICK);
    }
    EXPECT_EQ(forward->State(), CSkinButton::kStateHolding);
    EXPECT_TRUE(SameColour(Painted(forwardPoint), kPressed));
    // The play button's ellipse is outside the forward button's area.
    EXPECT_TRUE(SameColour(Painted(playCentre), kUp));
}

TEST_F(CSkinButtonTest, PressedButtonsDoNotDragAndClickOnRelease) {
    test::Press(*dialog, forwardPoint);
    EXPECT_EQ(dialog->CurrentDrag(), CSkinDialog::DragMode::None);
    EXPECT_TRUE(codes.empty());
    // Moving out while pressed keeps the press.
    test::Move(*dialog, bareSkin, Qt::LeftButton);
    EXPECT_EQ(forward->State(), CSkinButton::kStatePressed);
    test::Move(*dialog, forwardPoint, Qt::LeftButton);
    test::Release(*dialog, forwardPoint);
    EXPECT_EQ(codes, std::vector<int>{CSkinButton::kCodeClick});
    EXPECT_EQ(forward->State(), CSkinButton::kStateUp);
    EXPECT_EQ(play->State(), CSkinButton::kStateUp);

    // A release on a button that was never pressed: no callback.
    codes.clear();
    EXPECT_TRUE(play->OnMouse(MOUSE_LBUTTONUP, playCentre.x(), playCentre.y(), 0));
    EXPECT_TRUE(codes.empty());
}

TEST_F(CSkinButtonTest, ReleaseOrPressOutsideCancelsWithoutCallback) {
    test::Press(*dialog, playCentre);
    test::Release(*dialog, bareSkin);
    EXPECT_EQ(play->State(), CSkinButton::kStateUp);
    EXPECT_EQ(play->HoldCount(), 0);
    EXPECT_TRUE(codes.empty());

    // Holding, then the release lands elsewhere: still no code.
    test::Press(*dialog, forwardPoint);
    for (int i = 0; i < 8; ++i) {
        dialog->TimerTick(TIMER_CONTROL_TICK);
    }
    codes.clear();
    test::Release(*dialog, bareSkin);
    EXPECT_EQ(forward->State(), CSkinButton::kStateUp);
    EXPECT_TRUE(codes.empty());

    // MOUSE_SETCURSOR carries no position: never a hit, never consumed.
    EXPECT_FALSE(play->OnMouse(MOUSE_SETCURSOR, playCentre.x(), playCentre.y(), 0));
}

TEST_F(CSkinButtonTest, TheTickRunsOnlyWhileAButtonIsDown) {
    // Buttons that are up need no tick: the first one stops the timer.
    ASSERT_TRUE(dialog->HasTimer(TIMER_CONTROL_TICK));
    dialog->TimerTick(TIMER_CONTROL_TICK);
    EXPECT_FALSE(dialog->HasTimer(TIMER_CONTROL_TICK));

    // A press starts it again; held, the button repeats from the real timer.
    test::Press(*dialog, forwardPoint);
    EXPECT_TRUE(dialog->HasTimer(TIMER_CONTROL_TICK));
    ASSERT_TRUE(test::WaitUntil([&] { return !codes.empty(); }, 5000));
    EXPECT_EQ(codes.front(), CSkinButton::kCodeHoldRepeat);
    test::Release(*dialog, forwardPoint);
    EXPECT_TRUE(test::WaitUntil([&] { return !dialog->HasTimer(TIMER_CONTROL_TICK); }, 2000));
}

TEST_F(CSkinButtonTest, HoldingRepeatsEveryTickAfterFiveAndReleasesWithCode3) {
    test::Press(*dialog, forwardPoint);
    for (int tick = 1; tick <= CSkinButton::kHoldTicks; ++tick) {
        dialog->TimerTick(TIMER_CONTROL_TICK);
        EXPECT_EQ(forward->HoldCount(), tick);
    }
    EXPECT_TRUE(codes.empty());  // a little over one second of nothing
    dialog->TimerTick(TIMER_CONTROL_TICK);
    EXPECT_EQ(codes, std::vector<int>{CSkinButton::kCodeHoldRepeat});
    dialog->TimerTick(TIMER_CONTROL_TICK);
    dialog->TimerTick(TIMER_CONTROL_TICK);
    EXPECT_EQ(codes, std::vector<int>(3, CSkinButton::kCodeHoldRepeat));

    codes.clear();
    test::Release(*dialog, forwardPoint);
    EXPECT_EQ(codes, std::vector<int>{CSkinButton::kCodeHoldRelease});
    EXPECT_EQ(forward->HoldCount(), 0);
    dialog->TimerTick(TIMER_CONTROL_TICK);
    EXPECT_EQ(codes.size(), 1u);  // released buttons stay quiet

    // A short press is a plain click.
    codes.clear();
    test::Press(*dialog, forwardPoint);
    dialog->TimerTick(TIMER_CONTROL_TICK);
    dialog->TimerTick(TIMER_CONTROL_TICK);
    test::Release(*dialog, forwardPoint);
    EXPECT_EQ(codes, std::vector<int>{CSkinButton::kCodeClick});
}

TEST_F(CSkinButtonTest, LookChangesFromAnotherThreadArePostedNotWaited) {
    dialog->Surface();
    std::thread([&] { play->SetPlayingLook(); }).join();  // would hang if it waited
    EXPECT_TRUE(play->IsPlayingLook());
    EXPECT_TRUE(test::WaitUntil([&] {
        return SameColour(test::PixelAt(dialog->Surface(), playCentre.x(), playCentre.y()),
                          kAltUp);
    }));
}

}  // namespace
}  // namespace vorn
