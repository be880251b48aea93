#include "ui/CToolTipDialog.h"

#include <QCoreApplication>
#include <QHelpEvent>
#include <QToolTip>

#include <gtest/gtest.h>

#include "tests/ui/UiTestSupport.h"

namespace vorn {
namespace {

// Whether the dialog answers a pointer resting at `at` with a tip.
bool AskForTip(CToolTipDialog& dialog, QPoint at) {
    QHelpEvent help(QEvent::ToolTip, at, dialog.mapToGlobal(at));
    QCoreApplication::sendEvent(&dialog, &help);
    return help.isAccepted();
}

TEST(CToolTipDialogTest, ShowsTipsOnlyForRegisteredAreasWhileSwitchedOn) {
    test::EnsureApplication();
    EXPECT_TRUE(CToolTipDialog::ToolTipsEnabled());
    CToolTipDialog dialog;
    dialog.resize(200, 100);
    dialog.show();

    // Nothing registered: no tip anywhere (the skinned window's case).
    EXPECT_FALSE(AskForTip(dialog, QPoint(20, 20)));
    EXPECT_FALSE(dialog.ToolTipAt(QPoint(20, 20)).has_value());

    dialog.AddToolTipArea(QRect(10, 10, 30, 30), "Tool Tip");
    EXPECT_EQ(dialog.ToolTipAt(QPoint(20, 20)), "Tool Tip");
    EXPECT_TRUE(AskForTip(dialog, QPoint(20, 20)));
    EXPECT_TRUE(QToolTip::isVisible());
    EXPECT_EQ(QToolTip::text(), "Tool Tip");
    EXPECT_FALSE(AskForTip(dialog, QPoint(100, 80)));

    CToolTipDialog::SetToolTipsEnabled(false);
    EXPECT_FALSE(AskForTip(dialog, QPoint(20, 20)));
    CToolTipDialog::SetToolTipsEnabled(true);
}

}  // namespace
}  // namespace vorn
