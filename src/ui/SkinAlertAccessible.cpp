#include "ui/SkinAlertAccessible.h"

#include "ui/CSkinDialog.h"
#include "ui/SkinWindowAccessible.h"

namespace vorn {

QWindow* SkinAlertAccessible::window() const {
    return window_ != nullptr ? window_->window() : nullptr;
}

QAccessibleInterface* SkinAlertAccessible::parent() const { return window_; }

QString SkinAlertAccessible::text(QAccessible::Text type) const {
    const CSkinDialog* dialog = window_ != nullptr ? window_->Window() : nullptr;
    return type == QAccessible::Name && dialog != nullptr ? dialog->Alert() : QString();
}

QRect SkinAlertAccessible::rect() const { return window_ != nullptr ? window_->rect() : QRect(); }

QAccessible::State SkinAlertAccessible::state() const {
    QAccessible::State state;
    const CSkinDialog* dialog = window_ != nullptr ? window_->Window() : nullptr;
    state.invisible = dialog == nullptr || dialog->Alert().isEmpty() || !dialog->isVisible();
    state.readOnly = true;
    return state;
}

}  // namespace vorn
