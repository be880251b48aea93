#include "ui/CSkinDialog.h"

#include <QCoreApplication>
#include <QPainter>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "tests/ui/UiTestSupport.h"
#include "ui/SkinAreas.h"

namespace vorn {
namespace {

using test::RecordingControl;
using test::SameColour;

const QColor kSkin(30, 40, 50);

class CSkinDialogTest : public ::testing::Test {
protected:
    void SetUp() override { test::EnsureApplication(); }
};

TEST_F(CSkinDialogTest, ShapeTakesOnlyFullyOpaquePixels) {
    // Row 0: a 254 and a 0 alpha pixel inside an opaque row; row 1 ends in an
    // opaque run; row 2 is transparent; row 3 the same runs as row 4.
    const int alphas[5][10] = {
        {255, 255, 255, 254, 0, 255, 255, 255, 255, 255},
        {0, 0, 255, 0, 0, 0, 255, 255, 255, 255},
        {0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {255, 0, 0, 0, 128, 0, 0, 0, 0, 255},
        {255, 0, 0, 0, 1, 0, 0, 0, 0, 255},
    };
    auto image = test::MakeImage(10, 5, [&](int x, int y) { return QColor(9, 9, 9, alphas[y][x]); });
    const QRegion shape = CSkinDialog::ShapeFromImage(*image, QSize(430, 130));
    for (int y = 0; y < 5; ++y) {
        for (int x = 0; x < 10; ++x) {
            EXPECT_EQ(shape.contains(QPoint(x, y)), alphas[y][x] == 255) << x << "," << y;
        }
    }
    // The run that reaches the end of row 1 ends exactly at the scan width.
    EXPECT_TRUE(shape.contains(QPoint(9, 1)));
    EXPECT_FALSE(shape.contains(QPoint(10, 1)));
    EXPECT_EQ(shape.boundingRect(), QRect(0, 0, 10, 5));
    EXPECT_EQ((shape & QRect(0, 1, 100, 1)).rectCount(), 2);
}

TEST_F(CSkinDialogTest, ShapeIsCutToTheSmallerOfImageAndClientArea) {
    auto large = test::SolidImage(kSkin, 500, 200);
    EXPECT_EQ(CSkinDialog::ShapeFromImage(*large, QSize(430, 130)), QRegion(0, 0, 430, 130));
    auto small = test::SolidImage(kSkin, 100, 50);
    EXPECT_EQ(CSkinDialog::ShapeFromImage(*small, QSize(430, 130)), QRegion(0, 0, 100, 50));

    CSkinDialog dialog;
    auto skin = test::MakeImage(430, 130, [](int x, int y) {
        return (x - 215) * (x - 215) / 4 + (y - 65) * (y - 65) < 60 * 60 ? kSkin : QColor(0, 0, 0, 0);
    });
    dialog.SetBackground(skin.get());
    dialog.ComputeWindowShape();
    EXPECT_EQ(dialog.mask(), CSkinDialog::ShapeFromImage(*skin, dialog.size()));
    EXPECT_TRUE(dialog.mask().contains(QPoint(215, 65)));
    EXPECT_FALSE(dialog.mask().contains(QPoint(2, 2)));
}

TEST_F(CSkinDialogTest, PaintAllDrawsTheSkinSizeThenTheLayersInOrder) {
    CSkinDialog dialog;
    auto background = test::SolidImage(kSkin, 500, 200);
    dialog.SetBackground(background.get());
    RecordingControl low("low", &dialog, QRegion(10, 10, 40, 40), Qt::red);
    RecordingControl high("high", &dialog, QRegion(30, 30, 40, 40), Qt::green);
    RecordingControl top("top", &dialog, QRegion(60, 60, 5, 5), Qt::blue);
    ASSERT_TRUE(dialog.AddControl(&top, 2));
    ASSERT_TRUE(dialog.AddControl(&high, 1));
    ASSERT_TRUE(dialog.AddControl(&low, 0));
    EXPECT_FALSE(dialog.AddControl(&low, 3));

    QImage target(500, 200, QImage::Format_ARGB32_Premultiplied);
    target.fill(Qt::transparent);
    QPainter dc(&target);
    dialog.PaintAll(dc);
    dc.end();

    EXPECT_TRUE(SameColour(test::PixelAt(target, 429, 129), kSkin));
    EXPECT_EQ(qAlpha(target.pixel(430, 10)), 0);  // the background is drawn 430 x 130 only
    EXPECT_EQ(qAlpha(target.pixel(10, 130)), 0);
    EXPECT_TRUE(SameColour(test::PixelAt(target, 15, 15), Qt::red));
    EXPECT_TRUE(SameColour(test::PixelAt(target, 45, 45), Qt::green));  // layer 1 over layer 0
    EXPECT_TRUE(SameColour(test::PixelAt(target, 62, 62), Qt::blue));   // layer 2 over layer 1
    EXPECT_EQ(low.draws + high.draws + top.draws, 3);
}

TEST_F(CSkinDialogTest, RedrawingALowerLayerControlRedrawsTheFirstControlOfLaterLayers) {
    CSkinDialog dialog;
    auto background = test::SolidImage(kSkin);
    dialog.SetBackground(background.get());
    // As on the main window: the back and forward buttons in layer 0, the play
    // button (overlapping both boxes) first in layer 1.
    RecordingControl back("back", &dialog, QRegion(0, 0, 50, 50), Qt::red);
    RecordingControl forward("forward", &dialog, QRegion(40, 0, 50, 50), Qt::yellow);
    RecordingControl play("play", &dialog, QRegion(30, 10, 20, 20), Qt::green);
    RecordingControl rating("rating", &dialog, QRegion(200, 80, 50, 10), Qt::blue);
    dialog.AddControl(&back, 0);
    dialog.AddControl(&forward, 0);
    dialog.AddControl(&play, 1);
    dialog.AddControl(&rating, 1);
    dialog.Surface();
    auto reset = [&] { back.draws = forward.draws = play.draws = rating.draws = 0; };
    reset();

    EXPECT_EQ(dialog.RedrawControl("forward"), 0);
    EXPECT_EQ(forward.draws, 1);
    EXPECT_EQ(play.draws, 1);
    EXPECT_EQ(back.draws + rating.draws, 0);
    EXPECT_TRUE(SameColour(test::PixelAt(dialog.Surface(), 45, 15), Qt::green));
    EXPECT_TRUE(SameColour(test::PixelAt(dialog.Surface(), 85, 15), Qt::yellow));

    reset();
    dialog.RedrawControl("rating");  // found in the last non-empty layer: nothing more
    EXPECT_EQ(rating.draws, 1);
    EXPECT_EQ(back.draws + forward.draws + play.draws, 0);

    reset();
    forward.drawResult = false;  // a failed draw keeps searching by name: nothing is found
    dialog.RedrawControl("forward");
    EXPECT_EQ(forward.draws, 1);
    EXPECT_EQ(back.draws + play.draws + rating.draws, 0);

    reset();
    dialog.RedrawControl("no such control");
    EXPECT_EQ(back.draws + forward.draws + play.draws + rating.draws, 0);

    // The message from the control's own thread does the same.
    reset();
    forward.drawResult = true;
    forward.RequestRedraw();
    EXPECT_EQ(forward.draws, 1);
    EXPECT_EQ(play.draws, 1);
}

TEST_F(CSkinDialogTest, APressNoControlTakesDragsTheWindow) {
    CSkinDialog dialog;
    auto background = test::SolidImage(kSkin);
    dialog.SetBackground(background.get());
    RecordingControl first("first", &dialog, QRegion(0, 0, 20, 20), Qt::red, true, true);
    RecordingControl second("second", &dialog, QRegion(100, 0, 20, 20), Qt::red, true, false);
    dialog.AddControl(&first, 0);
    dialog.AddControl(&second, 1);
    dialog.move(100, 100);
    dialog.show();

    // Not draggable yet: nothing moves.
    test::Press(dialog, QPoint(200, 60));
    EXPECT_EQ(dialog.CurrentDrag(), CSkinDialog::DragMode::None);
    test::Release(dialog, QPoint(200, 60));
    dialog.SetDraggable(true);

    // A press a control consumes: every control still hears it, no drag.
    first.events.clear();
    second.events.clear();
    test::Press(dialog, QPoint(5, 5));
    EXPECT_EQ(first.events, std::vector<int>{MOUSE_LBUTTONDOWN});
    EXPECT_EQ(second.events, std::vector<int>{MOUSE_LBUTTONDOWN});
    EXPECT_EQ(dialog.CurrentDrag(), CSkinDialog::DragMode::None);
    test::Release(dialog, QPoint(5, 5));
    EXPECT_EQ(first.events.back(), MOUSE_LBUTTONUP);

    // A press on an area that does not consume (and on bare skin) drags. The
    // offscreen platform has no window-system move, so the window follows the mouse.
    const QPoint start = dialog.pos();
    test::Press(dialog, QPoint(105, 5));
    ASSERT_EQ(dialog.CurrentDrag(), CSkinDialog::DragMode::FollowMouse);
    first.events.clear();
    test::Move(dialog, QPoint(135, 25), Qt::LeftButton);
    EXPECT_EQ(dialog.pos(), start + QPoint(30, 20));
    EXPECT_TRUE(first.events.empty());  // moving the window is not a pointer move over controls
    test::Release(dialog, QPoint(105, 5));
    EXPECT_EQ(dialog.CurrentDrag(), CSkinDialog::DragMode::None);
    EXPECT_TRUE(first.events.empty());
}

TEST_F(CSkinDialogTest, TheSecondClickOfADoubleClickIsAClickAndNoDrag) {
    // As Qt delivers a quick double click: press, release, double click, release.
    CSkinDialog dialog;
    dialog.SetDraggable(true);
    RecordingControl control("c", &dialog, QRegion(0, 0, 20, 20), Qt::red, false, false);
    dialog.AddControl(&control, 0);
    test::Press(dialog, QPoint(5, 5));
    test::Release(dialog, QPoint(5, 5));
    EXPECT_EQ(dialog.CurrentDrag(), CSkinDialog::DragMode::None);  // the first press dragged and let go
    test::SendMouse(dialog, QEvent::MouseButtonDblClick, QPoint(5, 5));
    EXPECT_EQ(dialog.CurrentDrag(), CSkinDialog::DragMode::None);
    test::Release(dialog, QPoint(5, 5));
    EXPECT_EQ(control.events, (std::vector<int>{MOUSE_LBUTTONDOWN, MOUSE_LBUTTONDOWN, MOUSE_LBUTTONUP}));
}

TEST_F(CSkinDialogTest, SetCursorPassEndsEachLayerAtTheFirstControlThatAnswers) {
    CSkinDialog dialog;
    RecordingControl a("a", &dialog, QRegion(0, 0, 5, 5), Qt::red);
    RecordingControl b("b", &dialog, QRegion(0, 0, 5, 5), Qt::red);
    RecordingControl c("c", &dialog, QRegion(0, 0, 5, 5), Qt::red);
    RecordingControl d("d", &dialog, QRegion(0, 0, 5, 5), Qt::red);
    a.setsCursor = true;
    d.setsCursor = true;
    dialog.AddControl(&a, 0);
    dialog.AddControl(&b, 0);
    dialog.AddControl(&c, 1);
    dialog.AddControl(&d, 1);

    test::Move(dialog, QPoint(200, 100));
    EXPECT_EQ(a.events, (std::vector<int>{MOUSE_MOVE, MOUSE_SETCURSOR}));
    EXPECT_EQ(b.events, (std::vector<int>{MOUSE_MOVE}));
    EXPECT_EQ(c.events, (std::vector<int>{MOUSE_MOVE, MOUSE_SETCURSOR}));
    EXPECT_EQ(d.events, (std::vector<int>{MOUSE_MOVE, MOUSE_SETCURSOR}));
}

TEST_F(CSkinDialogTest, ControlTickReachesEveryControlAndOtherTimersDoNot) {
    CSkinDialog dialog;
    RecordingControl a("a", &dialog, QRegion(0, 0, 5, 5), Qt::red);
    RecordingControl b("b", &dialog, QRegion(0, 0, 5, 5), Qt::red);
    dialog.AddControl(&a, 0);
    dialog.AddControl(&b, 2);
    dialog.TimerTick(TIMER_CONTROL_TICK);
    EXPECT_EQ(a.ticks, 1);
    EXPECT_EQ(b.ticks, 1);
    dialog.TimerTick(TIMER_MEDIA_POLL);
    dialog.TimerTick(TIMER_DISPLAY_SCROLL);
    EXPECT_EQ(a.ticks, 1);

    // The real timer runs from construction, every 200 ms, as long as a
    // control may need it (one that does not say otherwise may).
    EXPECT_TRUE(dialog.HasTimer(TIMER_CONTROL_TICK));
    EXPECT_TRUE(test::WaitUntil([&] { return a.ticks >= 3; }, 5000));
    dialog.KillTimer(TIMER_CONTROL_TICK);
    EXPECT_FALSE(dialog.HasTimer(TIMER_CONTROL_TICK));
}

// A window with one message of its own, as the main window adds its messages.
class EchoDialog : public CSkinDialog {
public:
    static constexpr unsigned kEcho = 0x600;
    std::atomic<int> handled{0};
    std::thread::id handlerThread;

protected:
    std::int64_t HandleMessage(unsigned message, const MessageArgs& args) override {
        if (message == kEcho) {
            ++handled;
            handlerThread = std::this_thread::get_id();
            return args.value * 2 + static_cast<std::int64_t>(args.text.value_or("").size());
        }
        return CSkinDialog::HandleMessage(message, args);
    }
};

TEST_F(CSkinDialogTest, SentMessagesRunOnTheWindowThreadAndAnswer) {
    EchoDialog dialog;
    EXPECT_EQ(dialog.SendMessage(EchoDialog::kEcho, MessageArgs{20, std::string("ab")}), 42);
    EXPECT_EQ(dialog.handled, 1);

    auto answer = std::async(std::launch::async, [&] {
        return dialog.SendMessage(EchoDialog::kEcho, MessageArgs::Value(5));
    });
    ASSERT_TRUE(test::WaitUntil([&] {
        return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }));
    EXPECT_EQ(answer.get(), 10);
    EXPECT_EQ(dialog.handlerThread, std::this_thread::get_id());

    // Posted messages wait for the event loop.
    EXPECT_TRUE(dialog.PostMessage(EchoDialog::kEcho, MessageArgs::Value(1)));
    EXPECT_EQ(dialog.handled, 2);
    EXPECT_TRUE(test::WaitUntil([&] { return dialog.handled == 3; }));
}

TEST_F(CSkinDialogTest, RepaintRequestsFromOtherThreadsAreNeverWaitedFor) {
    CSkinDialog dialog;
    RecordingControl control("c", &dialog, QRegion(0, 0, 5, 5), Qt::red);
    dialog.AddControl(&control, 0);
    dialog.Surface();
    control.draws = 0;

    // The window thread is busy (this test waits without running events): a
    // waited-for repaint would never come back.
    auto sent = std::async(std::launch::async, [&] {
        control.RequestRedraw();
        return dialog.SendMessage(MSG_REDRAWCONTROL, MessageArgs::Text("c"));
    });
    ASSERT_EQ(sent.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(sent.get(), 0);
    EXPECT_EQ(control.draws, 0);
    EXPECT_TRUE(test::WaitUntil([&] { return control.draws == 2; }));
}

TEST_F(CSkinDialogTest, SendingToABusyOrVanishedWindowGivesUp) {
    auto dialog = std::make_unique<EchoDialog>();
    auto port = dialog->Port();

    // Busy window: the wait is bounded.
    auto busy = std::async(std::launch::async, [&] {
        return port->Send(EchoDialog::kEcho, MessageArgs::Value(1), 100);
    });
    ASSERT_EQ(busy.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_FALSE(busy.get().has_value());

    // A sender waiting when the window goes is released at once, not at its time-out.
    auto waiting = std::async(std::launch::async, [&] {
        return port->Send(EchoDialog::kEcho, MessageArgs::Value(1), 60000);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    dialog.reset();
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_FALSE(waiting.get().has_value());

    EXPECT_FALSE(port->Post(EchoDialog::kEcho, MessageArgs::Value(1)));
    EXPECT_FALSE(port->Send(EchoDialog::kEcho, MessageArgs::Value(1), 100).has_value());
    QCoreApplication::processEvents();
}

TEST_F(CSkinDialogTest, AControlThatGoesFirstLeavesNothingBehind) {
    CSkinDialog dialog;
    RecordingControl stays("stays", &dialog, QRegion(0, 0, 5, 5), Qt::red);
    dialog.AddControl(&stays, 0);
    {
        auto goes = std::make_unique<RecordingControl>("goes", &dialog, QRegion(0, 0, 5, 5),
                                                       Qt::blue);
        dialog.AddControl(goes.get(), 0);
        dialog.AddControl(goes.get(), 1);
        // A repaint request for it is still queued when it goes.
        std::thread([&] { goes->RequestRedraw(); }).join();
    }
    EXPECT_EQ(dialog.Layer(0).size(), 1u);
    EXPECT_TRUE(dialog.Layer(1).empty());
    dialog.Surface();
    stays.draws = 0;
    QCoreApplication::processEvents();
    EXPECT_EQ(stays.draws, 0);  // the queued request found no control of that name

    // A control outliving its window forgets it.
    auto window = std::make_unique<CSkinDialog>();
    RecordingControl orphan("orphan", window.get(), QRegion(0, 0, 5, 5), Qt::red);
    window->AddControl(&orphan, 0);
    window.reset();
    orphan.RequestRedraw();
    EXPECT_EQ(orphan.draws, 0);
}

TEST_F(CSkinDialogTest, StandardControlAreasSplitTheRingAtItsMiddle) {
    const QRegion back = SkinAreas::BackButton();
    const QRegion forward = SkinAreas::ForwardButton();
    const QRegion play = SkinAreas::PlayButton();
    EXPECT_TRUE((back & forward).isEmpty());
    EXPECT_TRUE((back & play).isEmpty());
    EXPECT_TRUE(back.contains(QPoint(30, 67)));
    EXPECT_TRUE(forward.contains(QPoint(115, 67)));
    EXPECT_TRUE(play.contains(QPoint(72, 66)));
    EXPECT_EQ(back.boundingRect().right(), 72);
    EXPECT_EQ(forward.boundingRect().left(), 73);
    EXPECT_EQ(SkinAreas::RatingControl().boundingRect(), QRect(220, 85, 160, 18));
    EXPECT_EQ(SkinAreas::DisplayControl().boundingRect(), QRect(137, 38, 259, 41));
}

}  // namespace
}  // namespace vorn
