#include "ui/CVNRatingControl.h"

#include <algorithm>
#include <chrono>

#include "ui/StarSweep.h"

namespace vorn {

CVNRatingControl::CVNRatingControl(std::string name, CSkinDialog* owner, const QRegion& area,
                                   ControlCallback* callback, const CSkinImage* starOff,
                                   const CSkinImage* starOn)
    : CSkinControl(std::move(name), owner, area, callback), starOff_(starOff), starOn_(starOn) {}

CVNRatingControl::~CVNRatingControl() {
    StopAnimation();
}

QRect CVNRatingControl::StarRect(int i) const {
    const QRect box = BoundingBox();
    const int width = box.width() / kStarCount;
    return QRect(box.left() + i * width, box.top(), width, box.height());
}

int CVNRatingControl::StarAt(int x, int y) const {
    for (int star = 1; star <= kStarCount; ++star) {
        if (StarRect(star - 1).contains(x, y)) {
            return star;
        }
    }
    return 0;
}

bool CVNRatingControl::Draw(QPainter& dc) {
    const int shown = shown_.load();
    bool result = false;
    for (int i = 0; i < kStarCount; ++i) {
        result = BlendImage(dc, i < shown ? starOn_ : starOff_, StarRect(i));
    }
    return result;
}

bool CVNRatingControl::OnMouse(int event, int x, int y, unsigned /*keyFlags*/) {
    if (event == MOUSE_SETCURSOR) {
        return false;
    }
    if (!HitTest(event, x, y)) {
        EndPreview();
        return false;
    }
    const int star = StarAt(x, y);
    if (event == MOUSE_MOVE) {
        Preview(star);
    } else {
        Preview(0);  // a press stops the sweep as hovering does, lighting nothing new
        if (event == MOUSE_LBUTTONDOWN && star != 0) {
            Choose(star);
        }
    }
    return true;
}

void CVNRatingControl::Preview(int star) {
    if (animating_.load()) {
        StopAnimation();
        hoverSuspended_ = true;
    }
    if (star != 0 && star != shown_.load()) {
        shown_.store(star);
        RequestRedraw();
    }
}

void CVNRatingControl::EndPreview() {
    if (hoverSuspended_) {
        hoverSuspended_ = false;
        StartAnimation();
    } else if (shown_.load() != 0 && !animating_.load() && shown_.load() != rating_.load()) {
        shown_.store(rating_.load());
        RequestRedraw();
    }
}

bool CVNRatingControl::Choose(int star) {
    const int before = rating_.exchange(star);
    hoverSuspended_ = false;
    keyChoice_ = 0;
    const bool rated = CallBack(star);
    if (before != star) NotifyAccessible(QAccessible::ValueChanged);
    return rated;
}

QString CVNRatingControl::RateActionName(int star) {
    return star == 1 ? QStringLiteral("Rate 1 star") : QStringLiteral("Rate %1 stars").arg(star);
}

QStringList CVNRatingControl::AccessibleActions() const {
    QStringList actions;
    for (int star = 1; star <= kStarCount; ++star) actions.push_back(RateActionName(star));
    return actions;
}

bool CVNRatingControl::DoAccessibleAction(const QString& action) {
    for (int star = 1; star <= kStarCount; ++star) {
        if (action == RateActionName(star)) return Choose(star);
    }
    return false;
}

bool CVNRatingControl::SetAccessibleValue(int value) {
    return value >= 1 && value <= kStarCount && Choose(value);
}

bool CVNRatingControl::OnKey(int key, Qt::KeyboardModifiers modifiers) {
    if ((modifiers & ~Qt::KeypadModifier) != Qt::NoModifier) return false;
    switch (key) {
        case Qt::Key_Up:
        case Qt::Key_Plus:
        case Qt::Key_Down:
        case Qt::Key_Minus: {
            // From the stars lit by the keys so far, else from the rating.
            const int from = keyChoice_ != 0 ? keyChoice_ : rating_.load();
            const bool up = key == Qt::Key_Up || key == Qt::Key_Plus;
            keyChoice_ = std::clamp(from + (up ? 1 : -1), 1, kStarCount);
            Preview(keyChoice_);
            return true;
        }
        case Qt::Key_Space:
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (keyChoice_ != 0) Choose(keyChoice_);
            return true;
        default:
            return false;
    }
}

void CVNRatingControl::OnFocus(bool focused) {
    if (!focused && keyChoice_ != 0) {
        keyChoice_ = 0;
        EndPreview();
    }
}

int CVNRatingControl::SetRating(int rating) {
    if (rating < 0 || rating > kStarCount) {
        return 0;
    }
    StopAnimation();
    shown_.store(rating);
    const bool changed = rating_.exchange(rating) != rating;
    RequestRedraw();
    if (changed) NotifyAccessible(QAccessible::ValueChanged);
    return 1;
}

void CVNRatingControl::StartAnimation() {
    std::lock_guard lock(animationMutex_);
    if (animating_.load()) {
        return;
    }
    if (thread_.joinable()) {
        thread_.join();  // a finished run; its thread has ended or is ending
    }
    stopped_.Reset();
    animating_.store(true);
    thread_ = std::thread([this] { Animate(); });
}

void CVNRatingControl::StopAnimation() {
    std::lock_guard lock(animationMutex_);
    if (!thread_.joinable()) {
        return;
    }
    {
        std::lock_guard pause(pauseMutex_);
        animating_.store(false);
    }
    pauseCv_.notify_all();
    // The animation only stores a number, posts repaint requests and pauses,
    // so it ends well within the wait; the join then merely collects it.
    stopped_.Wait(kStopWaitMs);
    stopped_.Reset();
    thread_.join();
}

void CVNRatingControl::Animate() {
    StarSweep sweep;
    while (animating_.load()) {
        shown_.store(sweep.Next());
        RequestRedraw();  // posted: this thread never waits for the window
        std::unique_lock pause(pauseMutex_);
        pauseCv_.wait_for(pause, std::chrono::milliseconds(kAnimationStepMs),
                          [this] { return !animating_.load(); });
    }
    stopped_.Set();
}

}  // namespace vorn
