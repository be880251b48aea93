#include "ui/COptionsTabCtrl.h"

namespace vorn {

COptionsTabCtrl::COptionsTabCtrl(QWidget* parent) : QTabWidget(parent) {}

void COptionsTabCtrl::AddPage(COptionsPage* page, const QString& title) {
    addTab(page, title);
    pages_.push_back(page);
}

bool COptionsTabCtrl::ApplyAll() {
    for (COptionsPage* page : pages_) {
        if (!page->Validate()) {
            setCurrentWidget(page);
            return false;
        }
    }
    for (COptionsPage* page : pages_) {
        if (!page->Apply()) return false;
    }
    return true;
}

}  // namespace vorn
