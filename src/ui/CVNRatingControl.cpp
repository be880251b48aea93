#include "ui/CVNRatingControl.h"

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
        if (hoverSuspended_) {
            hoverSuspended_ = false;
            StartAnimation();
        } else if (shown_.load() != 0 && !animating_.load() && shown_.load() != rating_.load()) {
            shown_.store(rating_.load());
            RequestRedraw();
        }
        return false;
    }
    if (animating_.load()) {
        StopAnimation();
        hoverSuspended_ = true;
    }
    const int star = StarAt(x, y);
    if (event == MOUSE_MOVE) {
        if (star != 0 && star != shown_.load()) {
            shown_.store(star);
            RequestRedraw();
        }
    } else if (event == MOUSE_LBUTTONDOWN) {
        if (star != 0) {
            rating_.store(star);
            hoverSuspended_ = false;
            CallBack(star);
        }
    }
    return true;
}

int CVNRatingControl::SetRating(int rating) {
    if (rating < 0 || rating > kStarCount) {
        return 0;
    }
    StopAnimation();
    shown_.store(rating);
    rating_.store(rating);
    RequestRedraw();
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
