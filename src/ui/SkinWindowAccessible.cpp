#include "ui/SkinWindowAccessible.h"

#include <algorithm>

#include "ui/CSkinControl.h"
#include "ui/CSkinDialog.h"
#include "ui/SkinAlertAccessible.h"
#include "ui/SkinControlAccessible.h"

namespace vorn {
namespace {

QAccessibleInterface* MakeForSkinnedWindow(const QString& /*className*/, QObject* object) {
    auto* window = dynamic_cast<CSkinDialog*>(object);
    return window != nullptr ? new SkinWindowAccessible(window) : nullptr;
}

}  // namespace

void SkinWindowAccessible::Install() {
    static const bool installed = [] {
        QAccessible::installFactory(&MakeForSkinnedWindow);
        return true;
    }();
    (void)installed;
}

SkinWindowAccessible::SkinWindowAccessible(CSkinDialog* window) : QAccessibleWidget(window), window_(window) {
    window_->accessible_ = this;
}

SkinWindowAccessible::~SkinWindowAccessible() {
    if (window_ != nullptr) window_->accessible_ = nullptr;
    WindowGone();
}

void SkinWindowAccessible::WindowGone() {
    window_ = nullptr;
    // The children may be asked no more; Qt's cache deletes them with their ids.
    for (const auto& [control, id] : children_) {
        if (auto* child = static_cast<SkinControlAccessible*>(QAccessible::accessibleInterface(id))) child->Forget();
        QAccessible::deleteAccessibleInterface(id);
    }
    children_.clear();
    if (alert_ != 0) {
        if (auto* alert = static_cast<SkinAlertAccessible*>(QAccessible::accessibleInterface(alert_))) alert->Forget();
        QAccessible::deleteAccessibleInterface(alert_);
        alert_ = 0;
    }
}

int SkinWindowAccessible::OwnChildCount() const {
    return window_ != nullptr ? static_cast<int>(window_->FocusChain().size()) + 1 : 0;
}

QAccessibleInterface* SkinWindowAccessible::Registered(CSkinControl* control) const {
    auto it = children_.find(control);
    if (it != children_.end()) return QAccessible::accessibleInterface(it->second);
    auto* child = new SkinControlAccessible(const_cast<SkinWindowAccessible*>(this), control);
    children_[control] = QAccessible::registerAccessibleInterface(child);
    return child;
}

QAccessibleInterface* SkinWindowAccessible::Alert() const {
    if (alert_ == 0) {
        alert_ = QAccessible::registerAccessibleInterface(
            new SkinAlertAccessible(const_cast<SkinWindowAccessible*>(this)));
    }
    return QAccessible::accessibleInterface(alert_);
}

QAccessibleInterface* SkinWindowAccessible::ChildFor(CSkinControl* control) {
    if (window_ == nullptr) return nullptr;
    const auto& chain = window_->FocusChain();
    return std::find(chain.begin(), chain.end(), control) != chain.end() ? Registered(control) : nullptr;
}

int SkinWindowAccessible::childCount() const { return OwnChildCount() + QAccessibleWidget::childCount(); }

QAccessibleInterface* SkinWindowAccessible::child(int index) const {
    if (index < 0) return nullptr;
    const int own = OwnChildCount();
    if (index >= own) return QAccessibleWidget::child(index - own);
    const auto& chain = window_->FocusChain();
    if (index < static_cast<int>(chain.size())) return Registered(chain[static_cast<std::size_t>(index)]);
    return Alert();
}

int SkinWindowAccessible::indexOfChild(const QAccessibleInterface* child) const {
    if (child == nullptr) return -1;
    const int own = OwnChildCount();
    for (int i = 0; i < own; ++i) {
        if (this->child(i) == child) return i;
    }
    const int widgetIndex = QAccessibleWidget::indexOfChild(child);
    return widgetIndex >= 0 ? own + widgetIndex : -1;
}

QAccessibleInterface* SkinWindowAccessible::childAt(int x, int y) const {
    if (window_ == nullptr) return nullptr;
    const QPoint local = window_->mapFromGlobal(QPoint(x, y));
    for (CSkinControl* control : window_->FocusChain()) {
        if (control->Area().contains(local)) return Registered(control);
    }
    return QAccessibleWidget::childAt(x, y);
}

QAccessibleInterface* SkinWindowAccessible::focusChild() const {
    if (window_ == nullptr || !window_->hasFocus() || window_->FocusedControl() == nullptr) {
        return QAccessibleWidget::focusChild();
    }
    return Registered(window_->FocusedControl());
}

void SkinWindowAccessible::ControlChanged(CSkinControl* control, QAccessible::Event event) {
    QAccessibleInterface* child = ChildFor(control);
    if (child == nullptr) return;
    if (event == QAccessible::ValueChanged) {
        QAccessibleValueChangeEvent change(child, control->AccessibleValue());
        QAccessible::updateAccessibility(&change);
        return;
    }
    if (event == QAccessible::Focus) {
        QAccessible::State focused;
        focused.focused = true;
        QAccessibleStateChangeEvent change(child, focused);
        QAccessible::updateAccessibility(&change);
    }
    QAccessibleEvent news(child, event);
    QAccessible::updateAccessibility(&news);
}

void SkinWindowAccessible::AlertChanged(bool wasShown, bool isShown) {
    QAccessibleInterface* alert = Alert();
    if (isShown) {
        // A fresh text is told as a name change; showing is what a screen
        // reader announces.
        QAccessibleEvent named(alert, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&named);
        QAccessibleEvent shown(alert, QAccessible::ObjectShow);
        QAccessible::updateAccessibility(&shown);
        QAccessibleEvent alerted(alert, QAccessible::Alert);
        QAccessible::updateAccessibility(&alerted);
    } else if (wasShown) {
        QAccessibleEvent hidden(alert, QAccessible::ObjectHide);
        QAccessible::updateAccessibility(&hidden);
    }
}

}  // namespace vorn
