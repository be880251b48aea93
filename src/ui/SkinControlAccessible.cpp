#include "ui/SkinControlAccessible.h"

#include "ui/CSkinControl.h"
#include "ui/CSkinDialog.h"
#include "ui/SkinWindowAccessible.h"

namespace vorn {

SkinControlAccessible::SkinControlAccessible(SkinWindowAccessible* window, CSkinControl* control)
    : window_(window), control_(control) {}

CSkinControl* SkinControlAccessible::Control() const {
    const CSkinDialog* dialog = window_ != nullptr ? window_->Window() : nullptr;
    return dialog != nullptr && dialog->HasControl(control_) ? control_ : nullptr;
}

bool SkinControlAccessible::isValid() const { return Control() != nullptr; }

QWindow* SkinControlAccessible::window() const { return window_ != nullptr ? window_->window() : nullptr; }

QAccessibleInterface* SkinControlAccessible::parent() const { return window_; }

QString SkinControlAccessible::text(QAccessible::Text type) const {
    const CSkinControl* control = Control();
    if (control == nullptr) return QString();
    switch (type) {
        case QAccessible::Name:
            return control->AccessibleName();
        case QAccessible::Description:
            return control->AccessibleDescription();
        case QAccessible::Value:
            if (control->HasAccessibleValue()) {
                const int value = control->AccessibleValue();
                return value == 1 ? QStringLiteral("1 star") : QStringLiteral("%1 stars").arg(value);
            }
            return QString();
        default:
            return QString();
    }
}

QRect SkinControlAccessible::rect() const {
    const CSkinControl* control = Control();
    if (control == nullptr) return QRect();
    const QRect box = control->BoundingBox();
    return QRect(window_->Window()->mapToGlobal(box.topLeft()), box.size());
}

QAccessible::Role SkinControlAccessible::role() const {
    const CSkinControl* control = Control();
    return control != nullptr ? control->AccessibleRole() : QAccessible::NoRole;
}

QAccessible::State SkinControlAccessible::state() const {
    QAccessible::State state;
    const CSkinControl* control = Control();
    if (control == nullptr) {
        state.invalid = true;
        return state;
    }
    const CSkinDialog* dialog = window_->Window();
    state.focusable = true;
    state.focused = dialog->hasFocus() && dialog->FocusedControl() == control;
    state.invisible = !dialog->isVisible();
    state.offscreen = state.invisible;
    state.readOnly = control->AccessibleRole() == QAccessible::StaticText;
    return state;
}

void* SkinControlAccessible::interface_cast(QAccessible::InterfaceType type) {
    const CSkinControl* control = Control();
    if (control == nullptr) return nullptr;
    switch (type) {
        case QAccessible::ActionInterface:
            return static_cast<QAccessibleActionInterface*>(this);
        case QAccessible::ValueInterface:
            return control->HasAccessibleValue() ? static_cast<QAccessibleValueInterface*>(this) : nullptr;
        case QAccessible::TextInterface:
            return control->AccessibleRole() == QAccessible::StaticText ? static_cast<QAccessibleTextInterface*>(this)
                                                                        : nullptr;
        default:
            return nullptr;
    }
}

QStringList SkinControlAccessible::actionNames() const {
    const CSkinControl* control = Control();
    return control != nullptr ? control->AccessibleActions() : QStringList();
}

void SkinControlAccessible::doAction(const QString& actionName) {
    if (CSkinControl* control = Control()) control->DoAccessibleAction(actionName);
}

QVariant SkinControlAccessible::currentValue() const {
    const CSkinControl* control = Control();
    return control != nullptr ? control->AccessibleValue() : 0;
}

void SkinControlAccessible::setCurrentValue(const QVariant& value) {
    CSkinControl* control = Control();
    bool number = false;
    const int wanted = value.toInt(&number);
    if (control != nullptr && number) control->SetAccessibleValue(wanted);
}

QVariant SkinControlAccessible::maximumValue() const {
    const CSkinControl* control = Control();
    return control != nullptr ? control->AccessibleMaximum() : 0;
}

QString SkinControlAccessible::FullText() const {
    const CSkinControl* control = Control();
    if (control == nullptr) return QString();
    const QString name = control->AccessibleName();
    const QString description = control->AccessibleDescription();
    return description.isEmpty() ? name : name + QLatin1Char('\n') + description;
}

void SkinControlAccessible::selection(int, int* startOffset, int* endOffset) const {
    *startOffset = 0;
    *endOffset = 0;
}

QString SkinControlAccessible::text(int startOffset, int endOffset) const {
    const QString full = FullText();
    if (startOffset < 0 || endOffset < startOffset || startOffset > full.size()) return QString();
    return full.mid(startOffset, endOffset - startOffset);
}

QString SkinControlAccessible::attributes(int, int* startOffset, int* endOffset) const {
    *startOffset = 0;
    *endOffset = characterCount();
    return QString();
}

}  // namespace vorn
