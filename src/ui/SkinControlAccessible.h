#pragma once

#include <QAccessibleInterface>

namespace vorn {

class CSkinControl;
class SkinWindowAccessible;

// One windowless control as assistive technologies see it: its role, name,
// description and actions as the control tells them (CSkinControl's
// Accessible... operations); a value for a control that has one (the stars);
// and the text of static text (the display: its name, then its description).
// Pressing, acting and setting the value do what the mouse would.
//
// Owned by Qt's accessibility cache; made and removed by the window's
// interface. Invalid once its control or window has gone. Window thread only.
class SkinControlAccessible : public QAccessibleInterface,
                              public QAccessibleActionInterface,
                              public QAccessibleValueInterface,
                              public QAccessibleTextInterface {
public:
    SkinControlAccessible(SkinWindowAccessible* window, CSkinControl* control);

    // The control while it and its window are there, else null.
    CSkinControl* Control() const;
    void Forget() { window_ = nullptr; }

    // QAccessibleInterface
    bool isValid() const override;
    QObject* object() const override { return nullptr; }
    QWindow* window() const override;
    QAccessibleInterface* parent() const override;
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QString text(QAccessible::Text type) const override;
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override;
    QAccessible::Role role() const override;
    QAccessible::State state() const override;
    void* interface_cast(QAccessible::InterfaceType type) override;

    // QAccessibleActionInterface
    QStringList actionNames() const override;
    void doAction(const QString& actionName) override;
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

    // QAccessibleValueInterface
    QVariant currentValue() const override;
    void setCurrentValue(const QVariant& value) override;
    QVariant maximumValue() const override;
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }

    // QAccessibleTextInterface: read-only text without a caret or selection.
    void selection(int, int* startOffset, int* endOffset) const override;
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override {}
    QString text(int startOffset, int endOffset) const override;
    int characterCount() const override { return FullText().size(); }
    QRect characterRect(int) const override { return rect(); }
    int offsetAtPoint(const QPoint&) const override { return 0; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int offset, int* startOffset, int* endOffset) const override;

private:
    QString FullText() const;

    SkinWindowAccessible* window_;  // cleared when the window goes
    CSkinControl* control_;
};

}  // namespace vorn
