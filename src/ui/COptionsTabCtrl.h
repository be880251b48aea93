#pragma once

#include <QTabWidget>

#include <vector>

#include "ui/COptionsPage.h"

namespace vorn {

// The options dialog's tab control: holds the pages (owned through Qt's
// parenting) and shows the page of the chosen tab.
class COptionsTabCtrl : public QTabWidget {
public:
    explicit COptionsTabCtrl(QWidget* parent = nullptr);

    // Takes ownership of `page`.
    void AddPage(COptionsPage* page, const QString& title);
    const std::vector<COptionsPage*>& Pages() const { return pages_; }

    // Validates every page first, so that a refused value on any page leaves the
    // store untouched (the refusing page is brought to the front); then applies
    // every page in order, stopping at the first that refuses.
    bool ApplyAll();

private:
    std::vector<COptionsPage*> pages_;  // in tab order; deleted by QTabWidget
};

}  // namespace vorn
