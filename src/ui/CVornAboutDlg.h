#pragma once

#include <QDialog>

#include "ui/HidesSettled.h"

namespace vorn {

// "About Vorn": the product line, our legal notice, the notices of the image
// library and the display font we ship, our web address and the build number.
// Closes with OK or Escape.
class CVornAboutDlg : public HidesSettled<QDialog> {
public:
    explicit CVornAboutDlg(QWidget* parent = nullptr);
};

}  // namespace vorn
