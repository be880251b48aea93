#include "ui/CSkinControl.h"

#include <QPainter>

#include "ui/CSkinDialog.h"
#include "ui/CSkinImage.h"
#include "ui/ControlCallback.h"
#include "ui/MessagePort.h"

namespace vorn {

CSkinControl::CSkinControl(std::string name, CSkinDialog* owner, const QRegion& area,
                           ControlCallback* callback)
    : name_(std::move(name)),
      owner_(owner),
      port_(owner != nullptr ? owner->Port() : nullptr),
      area_(area),
      callback_(callback) {
    if (owner_ != nullptr) {
        owner_->AttachControl(this);
    }
}

CSkinControl::~CSkinControl() {
    if (owner_ != nullptr) {
        owner_->DetachControl(this);
    }
}

bool CSkinControl::Tick() {
    return false;
}

std::string CSkinControl::GetToolTipText() const {
    return "Tool Tip";
}

void CSkinControl::RequestRedraw() {
    if (port_) {
        port_->Send(MSG_REDRAWCONTROL, MessageArgs::Text(name_));
    }
}

bool CSkinControl::OnKey(int key, Qt::KeyboardModifiers modifiers) {
    // Space and Enter do the first action, as a click would.
    const bool press = modifiers == Qt::NoModifier &&
                       (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter);
    const QStringList actions = AccessibleActions();
    return press && !actions.isEmpty() && DoAccessibleAction(actions.front());
}

QPainterPath CSkinControl::FocusOutline() const {
    if (!focusOutline_.isEmpty()) return focusOutline_;
    QPainterPath box;
    box.addRect(BoundingBox());
    return box;
}

void CSkinControl::NotifyAccessible(QAccessible::Event event) {
    // Only a screen reader listening needs the news; it reaches the window
    // thread as a message, whichever thread changed the control.
    if (port_ && QAccessible::isActive()) {
        port_->Post(MSG_ACCESSIBLECHANGE, MessageArgs{static_cast<std::int64_t>(event), name_});
    }
}

bool CSkinControl::HitTest(int event, int x, int y) const {
    return event != MOUSE_SETCURSOR && x != kNoPosition && area_.contains(QPoint(x, y));
}

bool CSkinControl::CallBack(int code) const {
    return callback_ != nullptr && (*callback_)(code);
}

bool CSkinControl::BlendImage(QPainter& dc, const CSkinImage* image, const QRect& box) {
    if (image == nullptr || !image->IsValid() || box.isEmpty()) {
        return false;
    }
    dc.setCompositionMode(QPainter::CompositionMode_SourceOver);
    image->Draw(dc, box.topLeft(), box);
    return true;
}

}  // namespace vorn
