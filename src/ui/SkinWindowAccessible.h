#pragma once

#include <QAccessibleWidget>

#include <map>

namespace vorn {

class CSkinControl;
class CSkinDialog;

// How a skinned window looks to assistive technologies (screen readers, through
// Qt's AT-SPI bridge): the window itself, with one child per control of its
// focus chain, in that order (see SkinControlAccessible), and an alert that a
// screen reader announces while the window shows one (CSkinDialog::SetAlert),
// followed by whatever child widgets the window has.
//
// Made by the accessibility factory that Install() adds; deleted by Qt with
// the window. Window thread only.
class SkinWindowAccessible : public QAccessibleWidget {
public:
    // Adds the factory for skinned windows (once per process).
    static void Install();

    explicit SkinWindowAccessible(CSkinDialog* window);
    ~SkinWindowAccessible() override;

    // The window, until it starts to go (WindowGone).
    CSkinDialog* Window() const { return window_; }
    // The control's interface; null for a control not in the focus chain.
    QAccessibleInterface* ChildFor(CSkinControl* control);

    // Sends `event` for the control's interface (Focus, NameChanged, ValueChanged...).
    void ControlChanged(CSkinControl* control, QAccessible::Event event);
    // The alert appeared, went or changed its text.
    void AlertChanged(bool wasShown, bool isShown);
    // The window is being destroyed: its controls' interfaces go now.
    void WindowGone();

    QAccessible::Role role() const override { return QAccessible::Window; }
    int childCount() const override;
    QAccessibleInterface* child(int index) const override;
    int indexOfChild(const QAccessibleInterface* child) const override;
    QAccessibleInterface* childAt(int x, int y) const override;
    QAccessibleInterface* focusChild() const override;

private:
    int OwnChildCount() const;
    QAccessibleInterface* Registered(CSkinControl* control) const;
    QAccessibleInterface* Alert() const;

    CSkinDialog* window_;
    // The controls' interfaces made so far; Qt's cache owns them, this removes them.
    mutable std::map<CSkinControl*, QAccessible::Id> children_;
    mutable QAccessible::Id alert_ = 0;
};

}  // namespace vorn
