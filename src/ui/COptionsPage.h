#pragma once

#include <QWidget>

namespace vorn {

// One page of the options dialog. A plain widget, not a dialog: Enter and Escape
// typed inside a page reach the options dialog's own OK and Cancel, never a
// page-level close.
class COptionsPage : public QWidget {
public:
    using QWidget::QWidget;

    // Checks the page's values without writing any; a page that refuses tells
    // the listener why. False keeps the options dialog open.
    virtual bool Validate() { return true; }
    // Writes the page's values. False keeps the options dialog open.
    virtual bool Apply() = 0;
};

}  // namespace vorn
