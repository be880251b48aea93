#include "ui/TrayIcon.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QPixmap>

#include "tests/ui/QtTestSupport.h"

namespace vorn {
namespace {

class TrayIconTest : public ::testing::Test {
protected:
    static QIcon Icon() {
        QPixmap pixmap(16, 16);
        pixmap.fill(Qt::darkBlue);
        return QIcon(pixmap);
    }
    bool app_ = (test::EnsureApplication(), true);  // before any pixmap
    int doubleClicks_ = 0;
    int menus_ = 0;
    TrayIcon tray_{Icon(), [this] { ++doubleClicks_; }, [this] { ++menus_; }};
};

TEST_F(TrayIconTest, WithoutANotificationAreaTheIconStaysAway) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "the offscreen platform has no tray";
    EXPECT_FALSE(tray_.Add());
    EXPECT_FALSE(tray_.IsShown());
    tray_.Remove();
    EXPECT_EQ(tray_.Native().toolTip(), "Vorn Custom Radio");
}

TEST_F(TrayIconTest, DoubleClickAndRightClickReachTheirHandlersAndNothingElseDoes) {
    QSystemTrayIcon& icon = tray_.Native();
    emit icon.activated(QSystemTrayIcon::Trigger);
    emit icon.activated(QSystemTrayIcon::MiddleClick);
    EXPECT_EQ(doubleClicks_ + menus_, 0);
    emit icon.activated(QSystemTrayIcon::DoubleClick);
    emit icon.activated(QSystemTrayIcon::DoubleClick);
    emit icon.activated(QSystemTrayIcon::Context);
    // Not inside the icon's own click handling (a command from the menu may
    // remove the icon), but right after it.
    EXPECT_EQ(doubleClicks_ + menus_, 0);
    EXPECT_TRUE(test::PumpUntil([&] { return doubleClicks_ == 2 && menus_ == 1; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(doubleClicks_, 2);
    EXPECT_EQ(menus_, 1);
}

}  // namespace
}  // namespace vorn
