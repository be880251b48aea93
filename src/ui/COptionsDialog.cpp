#include "ui/COptionsDialog.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/CConnectionTabDlg.h"
#include "ui/CGeneralTabDlg.h"
#include "ui/COptionsTabCtrl.h"
#include "ui/FixedSizeDialog.h"

namespace vorn {

COptionsDialog::COptionsDialog(QWidget* parent, Preferences& preferences) : HidesSettled<QDialog>(parent) {
    setWindowTitle(QStringLiteral("Vorn Preferences"));
    tabs_ = new COptionsTabCtrl(this);
    tabs_->AddPage(new CGeneralTabDlg(preferences), QStringLiteral("General"));
    tabs_->AddPage(new CConnectionTabDlg(preferences), QStringLiteral("Connection"));

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("OK"));
    buttons->button(QDialogButtonBox::Ok)->setDefault(true);
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("Cancel"));
    connect(buttons, &QDialogButtonBox::accepted, this, [this] { OnOk(); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_, 1);
    layout->addWidget(buttons);
    MakeFixedSizeDialog(*this, QSize(kWidth, kHeight));
}

void COptionsDialog::OnOk() {
    if (tabs_->ApplyAll()) accept();
}

}  // namespace vorn
