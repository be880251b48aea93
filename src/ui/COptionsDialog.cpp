#include "ui/COptionsDialog.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/CGeneralTabDlg.h"
#include "ui/COptionsTabCtrl.h"

namespace vorn {

COptionsDialog::COptionsDialog(QWidget* parent, Preferences& preferences) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Vorn Preferences"));
    tabs_ = new COptionsTabCtrl(this);
    tabs_->AddPage(new CGeneralTabDlg(preferences), QStringLiteral("General"));

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("OK"));
    buttons->button(QDialogButtonBox::Ok)->setDefault(true);
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("Cancel"));
    connect(buttons, &QDialogButtonBox::accepted, this, [this] { OnOk(); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_, 1);
    layout->addWidget(buttons);
    resize(370, 434);
}

void COptionsDialog::OnOk() {
    if (tabs_->ApplyAll()) accept();
}

}  // namespace vorn
