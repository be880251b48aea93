#include "ui/CSkinButton.h"

#include "ui/CSkinDialog.h"

namespace vorn {

CSkinButton::CSkinButton(std::string name, CSkinDialog* owner, const QRegion& area,
                         ControlCallback* callback, const CSkinImage* pressed,
                         const CSkinImage* up)
    : CSkinButton(std::move(name), owner, area, callback, pressed, up, pressed, up) {}

CSkinButton::CSkinButton(std::string name, CSkinDialog* owner, const QRegion& area,
                         ControlCallback* callback, const CSkinImage* alternatePressed,
                         const CSkinImage* alternateUp, const CSkinImage* pressed,
                         const CSkinImage* up)
    : CSkinControl(std::move(name), owner, area, callback),
      alternatePressed_(alternatePressed),
      alternateUp_(alternateUp),
      pressed_(pressed),
      up_(up) {}

const CSkinImage* CSkinButton::SelectedImage() const {
    const bool pressed = state_ != kStateUp;
    if (alternate_.load() == 1) {
        return pressed ? alternatePressed_ : alternateUp_;
    }
    return pressed ? pressed_ : up_;
}

bool CSkinButton::Draw(QPainter& dc) {
    return BlendImage(dc, SelectedImage(), BoundingBox());
}

bool CSkinButton::Tick() {
    if (state_ == kStatePressed) {
        if (holdCount_ == kHoldTicks) {
            state_ = kStateHolding;
            CallBack(kCodeHoldRepeat);
        } else {
            ++holdCount_;
        }
    } else if (state_ == kStateHolding) {
        CallBack(kCodeHoldRepeat);
    }
    return false;
}

void CSkinButton::Release(int code) {
    state_ = kStateUp;
    holdCount_ = 0;
    CallBack(code);
    RequestRedraw();
}

bool CSkinButton::OnMouse(int event, int x, int y, unsigned /*keyFlags*/) {
    if (HitTest(event, x, y)) {
        if (event == MOUSE_LBUTTONDOWN) {
            if (state_ == kStateUp) {
                state_ = kStatePressed;
                if (Owner() != nullptr) Owner()->ControlWantsTicks();
                RequestRedraw();
            }
        } else if (event == MOUSE_LBUTTONUP) {
            if (state_ == kStatePressed) {
                Release(kCodeClick);
            } else if (state_ == kStateHolding) {
                Release(kCodeHoldRelease);
            } else {
                RequestRedraw();
            }
        }
        return true;
    }
    // A press or release elsewhere cancels a press without a callback; moving
    // out while pressed does not.
    if ((event == MOUSE_LBUTTONDOWN || event == MOUSE_LBUTTONUP) && state_ != kStateUp) {
        state_ = kStateUp;
        holdCount_ = 0;
        RequestRedraw();
    }
    return false;
}

void CSkinButton::SetPlayingLook() {
    int expected = 0;
    if (alternate_.compare_exchange_strong(expected, 1)) {
        RequestRedraw();
        NotifyAccessible(QAccessible::NameChanged);  // "Play" became "Pause"
    }
}

void CSkinButton::SetStoppedLook() {
    int expected = 1;
    if (alternate_.compare_exchange_strong(expected, 0)) {
        RequestRedraw();
        NotifyAccessible(QAccessible::NameChanged);
    }
}

void CSkinButton::SetAccessibleNames(const QString& name, const QString& playingName) {
    SetAccessibleName(name);
    playingName_ = playingName;
}

QString CSkinButton::AccessibleName() const {
    return IsPlayingLook() && !playingName_.isEmpty() ? playingName_ : CSkinControl::AccessibleName();
}

QStringList CSkinButton::AccessibleActions() const {
    QStringList actions{QAccessibleActionInterface::pressAction()};
    if (!holdAction_.isEmpty()) actions.push_back(holdAction_);
    return actions;
}

bool CSkinButton::DoAccessibleAction(const QString& action) {
    // What the mouse does, without the pressed look: a click, or one step of a hold.
    if (action == QAccessibleActionInterface::pressAction()) {
        CallBack(kCodeClick);
        return true;
    }
    if (!holdAction_.isEmpty() && action == holdAction_) {
        CallBack(kCodeHoldRepeat);
        return true;
    }
    return false;
}

}  // namespace vorn
