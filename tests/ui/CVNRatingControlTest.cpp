#include "ui/CVNRatingControl.h"

#include <QCoreApplication>
#include <QPainter>

#include <gtest/gtest.h>

#include <chrono>
#include <set>

#include "tests/ui/UiTestSupport.h"
#include "ui/ControlCallback.h"
#include "ui/SkinAreas.h"
#include "ui/StarSweep.h"

namespace vorn {
namespace {

using test::SameColour;

const QColor kOff(60, 60, 60);
const QColor kOn(255, 190, 0);

// Records how many stars were lit each time the window repainted the stars.
class RecordingDialog : public CSkinDialog {
public:
    CVNRatingControl* rating = nullptr;
    std::vector<int> repaints;

protected:
    std::int64_t HandleMessage(unsigned message, const MessageArgs& args) override {
        if (message == MSG_REDRAWCONTROL && rating != nullptr) {
            repaints.push_back(rating->ShownStars());
        }
        return CSkinDialog::HandleMessage(message, args);
    }
};

class CVNRatingControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::EnsureApplication();
        off = test::SolidImage(kOff);
        on = test::SolidImage(kOn);
        dialog = std::make_unique<RecordingDialog>();
        dialog->SetBackground(off.get());
        callback = std::make_unique<ControlCallback>([this](int code) {
            rated.push_back(code);
            rating->SetRating(code);  // as the window's rate handler does
            return true;
        });
        Build(SkinAreas::RatingControl());
    }

    void Build(const QRegion& area) {
        dialog->rating = nullptr;
        rating.reset();
        rating = std::make_unique<CVNRatingControl>("CVNRatingControl", dialog.get(), area,
                                                    callback.get(), off.get(), on.get());
        dialog->AddControl(rating.get(), 1);
        dialog->rating = rating.get();
    }

    void TearDown() override {
        dialog->rating = nullptr;
        rating.reset();
        dialog.reset();
    }

    // Lit stars, read from a fresh painting of the window.
    std::vector<bool> PaintedStars() {
        QImage target(CSkinDialog::kSkinWidth, CSkinDialog::kSkinHeight,
                      QImage::Format_ARGB32_Premultiplied);
        QPainter dc(&target);
        dialog->PaintAll(dc);
        dc.end();
        std::vector<bool> lit;
        for (int i = 0; i < 5; ++i) {
            lit.push_back(SameColour(test::PixelAt(target, 236 + 32 * i, 94), kOn));
        }
        return lit;
    }

    static QPoint Star(int number) { return QPoint(220 + 32 * (number - 1) + 16, 94); }

    std::unique_ptr<CSkinImage> off, on;
    std::unique_ptr<RecordingDialog> dialog;
    std::unique_ptr<ControlCallback> callback;
    std::unique_ptr<CVNRatingControl> rating;
    std::vector<int> rated;
};

TEST_F(CVNRatingControlTest, StarsAreFiveEqualColumnsAndLightUpToTheShownCount) {
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(rating->StarRect(i), QRect(220 + 32 * i, 85, 32, 18));
    }
    for (int shown = 0; shown <= 5; ++shown) {
        rating->SetRating(shown);
        const std::vector<bool> lit = PaintedStars();
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(lit[i], i < shown) << shown << " shown, star " << i + 1;
        }
        // The stars never paint outside their columns.
        QImage target(CSkinDialog::kSkinWidth, CSkinDialog::kSkinHeight,
                      QImage::Format_ARGB32_Premultiplied);
        target.fill(Qt::transparent);
        QPainter dc(&target);
        EXPECT_TRUE(rating->Draw(dc));
        dc.end();
        EXPECT_EQ(qAlpha(target.pixel(219, 94)), 0);
        EXPECT_EQ(qAlpha(target.pixel(380, 94)), 0);
        EXPECT_EQ(qAlpha(target.pixel(300, 84)), 0);
    }
}

TEST_F(CVNRatingControlTest, HoverLightsUpToThePointerAndLeavingRestoresTheRating) {
    rating->SetRating(2);
    test::Move(*dialog, Star(4));
    EXPECT_EQ(rating->ShownStars(), 4);
    EXPECT_EQ(PaintedStars(), (std::vector<bool>{true, true, true, true, false}));
    test::Move(*dialog, Star(1));
    EXPECT_EQ(rating->ShownStars(), 1);
    test::Move(*dialog, QPoint(300, 20));
    EXPECT_EQ(rating->ShownStars(), 2);
    EXPECT_EQ(rating->Rating(), 2);
    EXPECT_TRUE(rated.empty());
}

TEST_F(CVNRatingControlTest, ClickingAStarRatesAndIsNotADrag) {
    dialog->SetDraggable(true);
    test::Press(*dialog, Star(4));
    EXPECT_EQ(rated, std::vector<int>{4});
    EXPECT_EQ(rating->Rating(), 4);
    EXPECT_EQ(rating->ShownStars(), 4);
    EXPECT_EQ(dialog->CurrentDrag(), CSkinDialog::DragMode::None);
    EXPECT_TRUE(rating->OnMouse(MOUSE_LBUTTONUP, Star(4).x(), Star(4).y(), 0));
    EXPECT_FALSE(rating->OnMouse(MOUSE_SETCURSOR, 0, 0, 0));
}

TEST_F(CVNRatingControlTest, AClickBetweenColumnsChangesNothing) {
    // 163 pixels wide: five columns of 32 leave x 380 to 382 to no star.
    Build(SkinAreas::Rect(220, 85, 383, 103));
    rating->SetRating(3);
    EXPECT_TRUE(rating->OnMouse(MOUSE_LBUTTONDOWN, 381, 94, 0));
    EXPECT_TRUE(rating->OnMouse(MOUSE_MOVE, 381, 94, 0));
    EXPECT_TRUE(rated.empty());
    EXPECT_EQ(rating->Rating(), 3);
    EXPECT_EQ(rating->ShownStars(), 3);
}

TEST_F(CVNRatingControlTest, RatingsOutsideZeroToFiveAreIgnored) {
    EXPECT_EQ(rating->SetRating(3), 1);
    EXPECT_EQ(rating->SetRating(6), 0);
    EXPECT_EQ(rating->SetRating(-1), 0);
    EXPECT_EQ(rating->Rating(), 3);
    EXPECT_EQ(rating->ShownStars(), 3);
    EXPECT_EQ(rating->SetRating(0), 1);
    EXPECT_EQ(rating->ShownStars(), 0);
}

TEST(StarSweepTest, SweepsUpAndDownThroughZeroToFive) {
    StarSweep sweep;
    std::vector<int> steps;
    for (int i = 0; i < 22; ++i) {
        steps.push_back(sweep.Next());
    }
    EXPECT_EQ(steps, (std::vector<int>{0, 1, 2, 3, 4, 5, 4, 3, 2, 1, 0,
                                       1, 2, 3, 4, 5, 4, 3, 2, 1, 0, 1}));
}

TEST_F(CVNRatingControlTest, AnimationSweepsTheStarsUntilARatingIsSet) {
    rating->StartAnimation();
    rating->StartAnimation();  // already running: nothing more
    EXPECT_TRUE(rating->IsAnimating());
    // The animation thread only posts repaints; the window draws them here.
    ASSERT_TRUE(test::WaitUntil([&] { return dialog->repaints.size() >= 8; }, 10000));
    const std::set<int> seen(dialog->repaints.begin(), dialog->repaints.end());
    EXPECT_GE(seen.size(), 4u);
    EXPECT_TRUE(seen.count(1) && seen.count(2) && seen.count(3));
    EXPECT_LE(*seen.rbegin(), 5);

    const auto before = std::chrono::steady_clock::now();
    rating->SetRating(4);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(1500));
    EXPECT_FALSE(rating->IsAnimating());
    EXPECT_EQ(rating->ShownStars(), 4);
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    QCoreApplication::processEvents();
    EXPECT_EQ(rating->ShownStars(), 4);
    EXPECT_EQ(PaintedStars(), (std::vector<bool>{true, true, true, true, false}));
}

TEST_F(CVNRatingControlTest, PointerOnTheStarsSuspendsTheAnimationUntilItLeaves) {
    rating->StartAnimation();
    test::Move(*dialog, Star(2));
    EXPECT_FALSE(rating->IsAnimating());
    EXPECT_TRUE(rating->IsHoverSuspended());
    EXPECT_EQ(rating->ShownStars(), 2);

    test::Move(*dialog, QPoint(300, 20));
    EXPECT_TRUE(rating->IsAnimating());
    EXPECT_FALSE(rating->IsHoverSuspended());

    // Leaving the window altogether counts as leaving the stars.
    test::Move(*dialog, Star(3));
    EXPECT_FALSE(rating->IsAnimating());
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(dialog.get(), &leave);
    EXPECT_TRUE(rating->IsAnimating());

    // After a click the animation stays off.
    test::Move(*dialog, Star(5));
    test::Press(*dialog, Star(5));
    EXPECT_EQ(rated, std::vector<int>{5});
    test::Move(*dialog, QPoint(300, 20));
    EXPECT_FALSE(rating->IsAnimating());
    EXPECT_EQ(rating->ShownStars(), 5);
}

TEST_F(CVNRatingControlTest, DestroyingAnAnimatingControlLeavesNoDanglingWork) {
    rating->StartAnimation();
    ASSERT_TRUE(test::WaitUntil([&] { return dialog->repaints.size() >= 2; }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(250));  // repaints queue up
    dialog->rating = nullptr;
    const auto before = std::chrono::steady_clock::now();
    rating.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(1500));
    EXPECT_TRUE(dialog->Layer(1).empty());
    QCoreApplication::processEvents();  // the queued requests find no such control
    dialog->Surface();
}

}  // namespace
}  // namespace vorn
