#pragma once

#include <QDialog>

#include "foundation/Preferences.h"
#include "ui/HidesSettled.h"

namespace vorn {

class COptionsTabCtrl;

// "Vorn Preferences": a tab control with the "General" and "Connection" pages,
// OK and Cancel, at a fixed size. OK validates every page, then applies every
// page and closes (Accepted) only when all of them accept; Cancel closes
// (Rejected) and writes nothing. Applying the stored values to the
// running window is the caller's job after an Accepted result.
class COptionsDialog : public HidesSettled<QDialog> {
public:
    static constexpr int kWidth = 370;
    static constexpr int kHeight = 434;

    explicit COptionsDialog(QWidget* parent = nullptr, Preferences& preferences = Preferences::Global());

    COptionsTabCtrl* Tabs() const { return tabs_; }

private:
    void OnOk();

    COptionsTabCtrl* tabs_;
};

}  // namespace vorn
