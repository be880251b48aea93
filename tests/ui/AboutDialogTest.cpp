#include "ui/CVornAboutDlg.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>

#include "tests/ui/QtTestSupport.h"
#include "ui/ProductLinks.h"

namespace vorn {
namespace {

class AboutDialogTest : public ::testing::Test {
protected:
    AboutDialogTest() { test::EnsureApplication(); }

    // The centred static texts, in their order from the top.
    QStringList Texts(const QDialog& dialog) {
        QStringList texts;
        for (QLabel* label : dialog.findChildren<QLabel*>()) {
            EXPECT_TRUE(label->alignment() & Qt::AlignHCenter) << label->text().toStdString();
            texts << label->text();
        }
        return texts;
    }
};

TEST_F(AboutDialogTest, ShowsTheProductLineTheNoticesTheAddressAndTheBuild) {
    CVornAboutDlg dialog;
    EXPECT_EQ(dialog.windowTitle(), "About Vorn");
    const QStringList texts = Texts(dialog);
    ASSERT_EQ(texts.size(), 5);
    EXPECT_EQ(texts[0], "Vorn - Custom Radio version 0.1");
    EXPECT_EQ(texts[1], "Copyright (C) 2026 Mirelund. All rights reserved.");
    EXPECT_TRUE(texts[2].contains("libpng") && texts[2].contains("The PNG Reference Library Authors") &&
                texts[2].contains("Glenn Randers-Pehrson") && texts[2].contains("Cosmin Truta"));
    EXPECT_TRUE(texts[3].contains("DSEG") && texts[3].contains("keshikan"));
    EXPECT_TRUE(texts[4].contains(QString::fromStdString(ProductPageUrl())));

    auto* build = dialog.findChild<QLineEdit*>("build");
    ASSERT_NE(build, nullptr);
    EXPECT_EQ(build->text(), "Build 13");
    EXPECT_TRUE(build->isReadOnly());
    EXPECT_EQ(build->alignment(), Qt::AlignCenter);
    // A screen reader names every field and button.
    EXPECT_EQ(test::UnnamedFocusableWidgets(dialog), std::vector<std::string>{});
}

}  // namespace
}  // namespace vorn
