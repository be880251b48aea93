#include "ui/CVornAboutDlg.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "server/ServerConstants.h"
#include "ui/FixedSizeDialog.h"
#include "ui/ProductLinks.h"

namespace vorn {

namespace {

QLabel* CentredLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(true);
    return label;
}

}  // namespace

CVornAboutDlg::CVornAboutDlg(QWidget* parent) : HidesSettled<QDialog>(parent) {
    setWindowTitle(QStringLiteral("About Vorn"));
    auto* layout = new QVBoxLayout(this);

    layout->addWidget(CentredLabel(QStringLiteral("Vorn - Custom Radio version 0.1"), this));
    layout->addWidget(CentredLabel(QStringLiteral("Copyright (C) 2026 Mirelund. All rights reserved."), this));
    // The holders as libpng's licence names them.
    layout->addWidget(CentredLabel(
        QStringLiteral("This program uses libpng, Copyright (c) 1995-2022 The PNG Reference Library "
                       "Authors, 1998-2018 Glenn Randers-Pehrson, 2018-2022 Cosmin Truta."),
        this));
    layout->addWidget(CentredLabel(
        QStringLiteral("Display font DSEG, Copyright (c) 2017-2020 keshikan, "
                       "under the SIL Open Font License 1.1."),
        this));

    const QString url = QString::fromStdString(ProductPageUrl());
    QLabel* link = CentredLabel(QStringLiteral("<a href=\"%1\">%1</a>").arg(url.toHtmlEscaped()), this);
    link->setObjectName(QStringLiteral("productPage"));
    link->setTextFormat(Qt::RichText);
    link->setOpenExternalLinks(true);
    layout->addWidget(link);

    auto* build = new QLineEdit(QStringLiteral("Build %1").arg(BUILD_NUMBER), this);
    build->setObjectName(QStringLiteral("build"));
    build->setReadOnly(true);
    build->setAccessibleName(QStringLiteral("Build"));
    build->setAlignment(Qt::AlignCenter);
    build->setFixedWidth(build->fontMetrics().horizontalAdvance(build->text()) + 24);
    layout->addWidget(build, 0, Qt::AlignHCenter);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    layout->addWidget(ok, 0, Qt::AlignHCenter);

    // As wide as the description's box; as tall as its wrapped texts need.
    constexpr int kWidth = 280;
    ensurePolished();
    MakeFixedSizeDialog(*this, QSize(kWidth, heightForWidth(kWidth) > 0 ? heightForWidth(kWidth) : sizeHint().height()));
}

}  // namespace vorn
