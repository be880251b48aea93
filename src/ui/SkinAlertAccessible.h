#pragma once

#include <QAccessibleInterface>

namespace vorn {

class SkinWindowAccessible;

// The alert of a skinned window (CSkinDialog::SetAlert) as assistive
// technologies see it: a notification named by its text, showing while there
// is one and invisible otherwise. A notification rather than an alert dialog:
// screen readers speak one as it shows, without taking the focus from where
// the listener is. Owned by Qt's accessibility cache; made and removed
// by the window's interface. Window thread only.
class SkinAlertAccessible : public QAccessibleInterface {
public:
    explicit SkinAlertAccessible(SkinWindowAccessible* window) : window_(window) {}
    void Forget() { window_ = nullptr; }

    bool isValid() const override { return window_ != nullptr; }
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
    QAccessible::Role role() const override { return QAccessible::Notification; }
    QAccessible::State state() const override;

private:
    SkinWindowAccessible* window_;  // cleared when the window goes
};

}  // namespace vorn
