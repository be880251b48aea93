// The main window without the mouse, on the offscreen platform at the scale
// of QT_SCALE_FACTOR (the test runs at 1 and 2): the focus order and the focus
// mark drawn at the screen's resolution, the keys, and the tree of accessible
// interfaces a screen reader reads.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QTest>

#include <cstdlib>

#include "library/VornPlaylistItem.h"
#include "tests/ui/QtTestSupport.h"
#include "tests/window/WindowTestSupport.h"
#include "ui/CSkinButton.h"
#include "ui/CVNDisplayControl.h"
#include "ui/CVNRatingControl.h"
#include "ui/MediaGraph.h"

namespace vorn {
namespace {

using test::PumpUntil;

// Records the codes the ring buttons' handlers get, then does what they do.
class RecordingWindow : public test::TestWindow {
public:
    bool OnForwardButton(int code) override {
        forwardCodes.push_back(code);
        return TestWindow::OnForwardButton(code);
    }
    bool OnBackButton(int code) override {
        backCodes.push_back(code);
        return TestWindow::OnBackButton(code);
    }
    std::vector<int> forwardCodes;
    std::vector<int> backCodes;
};

class KeyboardAndScreenReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        fixture_.WriteLibrary(2, 30.0);
        window_ = std::make_unique<RecordingWindow>();
        window_->show();
        ASSERT_TRUE(PumpUntil([&] { return window_->IsUiReady(); }));
        window_->activateWindow();
        ASSERT_TRUE(PumpUntil([&] { return window_->hasFocus(); }));
    }
    void TearDown() override { window_.reset(); }

    // Whether the focus mark's bright line runs through the point: the
    // surface's pixel there, at the screen's resolution, is yellow, at least
    // half covered by the line (its edges blend with what lies below).
    bool MarkAt(const QPointF& logical) {
        PumpUntil([] { return false; }, 50);  // repaint requests from other threads
        const QImage& surface = window_->Surface();
        const QPointF device = logical * surface.devicePixelRatio();
        const QColor seen = surface.pixelColor(QPoint(static_cast<int>(device.x()), static_cast<int>(device.y())));
        return seen.red() >= 120 && seen.green() >= 100 && seen.blue() <= 60;
    }
    // A point on a control's focus outline.
    static QPointF OnOutline(const CSkinControl* control) { return control->FocusOutline().pointAtPercent(0.3); }
    void Key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(window_.get(), static_cast<Qt::Key>(key), modifiers);
    }
    QAccessibleInterface* Child(int index) {
        return QAccessible::queryAccessibleInterface(window_.get())->child(index);
    }

    test::WindowFixture fixture_;
    std::unique_ptr<RecordingWindow> window_;
};

TEST_F(KeyboardAndScreenReaderTest, TabGoesRoundTheControlsAndTheMarkFollowsAtTheScreensResolution) {
    const std::vector<CSkinControl*> order = {window_->PlayButton(), window_->BackButton(), window_->ForwardButton(),
                                              window_->RatingControl(), window_->Display()};
    ASSERT_EQ(window_->FocusChain(), order);
    // Before the keyboard is used nothing shows the focus: the mouse sees no change.
    EXPECT_EQ(window_->FocusedControl(), order[0]);
    for (CSkinControl* control : order) EXPECT_FALSE(MarkAt(OnOutline(control))) << control->Name();

    // The first Tab shows the focus where it is; each next one moves it on, round.
    Key(Qt::Key_Tab);
    EXPECT_TRUE(MarkAt(OnOutline(order[0])));
    for (std::size_t i = 1; i <= order.size(); ++i) {
        Key(Qt::Key_Tab);
        CSkinControl* now = order[i % order.size()];
        EXPECT_EQ(window_->FocusedControl(), now);
        EXPECT_TRUE(MarkAt(OnOutline(now))) << now->Name();
        EXPECT_FALSE(MarkAt(OnOutline(order[i - 1]))) << order[i - 1]->Name() << " kept its mark";
    }
    Key(Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(window_->FocusedControl(), order.back());

    // A new title and time drawn under the mark leave the mark whole.
    window_->SetDisplayText("Another Artist - Another Title", "0:00:01 / 0:00:30");
    EXPECT_TRUE(MarkAt(OnOutline(window_->Display())));
    window_->SetDisplayText("", "0:00:02 / 0:00:30");
    EXPECT_TRUE(MarkAt(OnOutline(window_->Display())));

    // The mouse hides the mark again; the focus stays.
    QTest::mouseClick(window_.get(), Qt::LeftButton, Qt::NoModifier, QPoint(410, 60));
    EXPECT_FALSE(MarkAt(OnOutline(window_->Display())));
    EXPECT_EQ(window_->FocusedControl(), window_->Display());
}

TEST_F(KeyboardAndScreenReaderTest, KeysPlayRateAndSeekAsTheMouseWould) {
    Key(Qt::Key_Space);  // play has the focus at first
    ASSERT_TRUE(PumpUntil([&] { return window_->Graph()->State() == MediaGraph::kRunning; }));
    EXPECT_TRUE(window_->PlayButton()->IsPlayingLook());

    // Left and Right are one hold-repeat step of back and forward; a key held
    // down repeats no faster than the button's tick.
    Key(Qt::Key_Right);
    Key(Qt::Key_Left);
    for (int i = 0; i < 5; ++i) {
        QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Right, Qt::NoModifier, QString(), true);
        QApplication::sendEvent(window_.get(), &repeat);
    }
    EXPECT_EQ(window_->forwardCodes, std::vector<int>{CSkinButton::kCodeHoldRepeat});
    EXPECT_EQ(window_->backCodes, std::vector<int>{CSkinButton::kCodeHoldRepeat});

    // Digits rate; with Alt they are the hot keys' and pass by.
    Key(Qt::Key_4, Qt::AltModifier);
    EXPECT_EQ(window_->CurrentItem()->Rating(), 0);
    Key(Qt::Key_4);
    EXPECT_EQ(window_->CurrentItem()->Rating(), 4);

    // On the stars Up and Down light them as hovering does and Space rates so.
    window_->SetFocusedControl(window_->RatingControl());
    Key(Qt::Key_Down);
    EXPECT_EQ(window_->RatingControl()->ShownStars(), 3);
    EXPECT_EQ(window_->CurrentItem()->Rating(), 4);
    Key(Qt::Key_Space);
    EXPECT_EQ(window_->CurrentItem()->Rating(), 3);
    // Leaving the stars after lighting some shows the rating again.
    Key(Qt::Key_Up);
    Key(Qt::Key_Up);
    EXPECT_EQ(window_->RatingControl()->ShownStars(), 5);
    Key(Qt::Key_Tab);
    EXPECT_EQ(window_->RatingControl()->ShownStars(), 3);
    EXPECT_EQ(window_->CurrentItem()->Rating(), 3);
}

TEST_F(KeyboardAndScreenReaderTest, TheAccessibleTreeNamesEveryControlAndActsAsTheMouse) {
    QAccessibleInterface* window = QAccessible::queryAccessibleInterface(window_.get());
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->text(QAccessible::Name), "Vorn Custom Radio");
    EXPECT_EQ(window->text(QAccessible::Description), "Stopped");
    ASSERT_GE(window->childCount(), 6);
    const std::vector<std::pair<QAccessible::Role, QString>> expected = {
        {QAccessible::Button, "Play"},   {QAccessible::Button, "Previous"}, {QAccessible::Button, "Next"},
        {QAccessible::Slider, "Rating"}, {QAccessible::StaticText, ""},     {QAccessible::Notification, ""}};
    for (int i = 0; i < 6; ++i) {
        QAccessibleInterface* child = Child(i);
        ASSERT_NE(child, nullptr) << i;
        EXPECT_EQ(child->role(), expected[i].first) << i;
        if (!expected[i].second.isEmpty()) {
            EXPECT_EQ(child->text(QAccessible::Name), expected[i].second) << i;
        }
        EXPECT_EQ(child->parent(), window);
        EXPECT_EQ(window->indexOfChild(child), i);
    }
    EXPECT_TRUE(Child(5)->state().invisible);
    EXPECT_EQ(Child(1)->actionInterface()->actionNames(), (QStringList{"Press", "Seek back"}));
    EXPECT_EQ(Child(2)->actionInterface()->actionNames(), (QStringList{"Press", "Seek forward"}));
    EXPECT_EQ(Child(3)->actionInterface()->actionNames(),
              (QStringList{"Rate 1 star", "Rate 2 stars", "Rate 3 stars", "Rate 4 stars", "Rate 5 stars"}));
    // Where the pointer is, the control under it.
    const QRect play = Child(0)->rect();
    EXPECT_EQ(window->childAt(play.center().x(), play.center().y()), Child(0));

    // The display's text is the whole first line as given, then the second.
    window_->SetDisplayText("Zoë & the Café Band - A Song That Is Far Longer Than The Display", "0:01:02 / 0:04:00");
    QAccessibleInterface* display = Child(4);
    EXPECT_EQ(display->text(QAccessible::Name), "Zoë & the Café Band - A Song That Is Far Longer Than The Display");
    EXPECT_EQ(display->textInterface()->text(0, display->textInterface()->characterCount()),
              "Zoë & the Café Band - A Song That Is Far Longer Than The Display\n0:01:02 / 0:04:00");

    // Pressing plays; the button is then "Pause" and the window playing.
    Child(0)->actionInterface()->doAction("Press");
    ASSERT_TRUE(PumpUntil([&] { return window_->Graph()->State() == MediaGraph::kRunning; }));
    EXPECT_EQ(Child(0)->text(QAccessible::Name), "Pause");
    EXPECT_TRUE(PumpUntil([&] { return window->text(QAccessible::Description) == "Playing"; }));
    Child(2)->actionInterface()->doAction("Seek forward");
    Child(1)->actionInterface()->doAction("Seek back");
    EXPECT_EQ(window_->forwardCodes, std::vector<int>{CSkinButton::kCodeHoldRepeat});
    EXPECT_EQ(window_->backCodes, std::vector<int>{CSkinButton::kCodeHoldRepeat});

    // A rating wanted: the alert shows and the window says so; the value answers it.
    window_->AskForRating();
    ASSERT_TRUE(PumpUntil([&] { return !Child(5)->state().invisible; }));
    EXPECT_EQ(Child(5)->text(QAccessible::Name), "Rate this track to continue");
    EXPECT_EQ(window->text(QAccessible::Description), "Playing, waiting for a rating");
    EXPECT_EQ(window->focusChild(), Child(3));
    QAccessibleValueInterface* value = Child(3)->valueInterface();
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->maximumValue().toInt(), 5);
    value->setCurrentValue(6);  // no such star
    EXPECT_EQ(window_->CurrentItem()->Rating(), 0);
    value->setCurrentValue(5);
    EXPECT_EQ(window_->CurrentItem()->Rating(), 5);
    EXPECT_EQ(value->currentValue().toInt(), 5);
    EXPECT_FALSE(window_->RatingControl()->IsAnimating());
    EXPECT_TRUE(Child(5)->state().invisible);
    EXPECT_EQ(window->text(QAccessible::Description), "Playing");
    // Two stars move on at once, as a click on the second star does.
    VornPlaylistItem* rated = window_->CurrentItem();
    Child(3)->actionInterface()->doAction("Rate 2 stars");
    EXPECT_EQ(rated->Rating(), 2);
    EXPECT_NE(window_->CurrentItem(), rated);

    // The controls' interfaces go with the window.
    const QAccessible::Id playId = QAccessible::uniqueId(Child(0));
    const QAccessible::Id alert = QAccessible::uniqueId(Child(5));
    window_.reset();
    EXPECT_EQ(QAccessible::accessibleInterface(playId), nullptr);
    EXPECT_EQ(QAccessible::accessibleInterface(alert), nullptr);
}

}  // namespace
}  // namespace vorn
