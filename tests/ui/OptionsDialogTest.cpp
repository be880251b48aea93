#include "ui/COptionsDialog.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <filesystem>

#include "foundation/Preferences.h"
#include "tests/support/TempDir.h"
#include "tests/ui/QtTestSupport.h"
#include "ui/CGeneralTabDlg.h"
#include "ui/COptionsTabCtrl.h"

namespace vorn {
namespace {

const QString kQuestion = QStringLiteral(
    "Are you sure you wish to change the Vorn media folder? All media in the current folder will be moved.");

class OptionsDialogTest : public ::testing::Test {
protected:
    OptionsDialogTest() { dialog_.show(); }

    // Runs inside the isolated home, before the dialog reads the preferences.
    static bool Prepare() {
        test::EnsureApplication();
        Preferences::Global().Reload();
        Preferences::Global().SetAlwaysOnTop(false);
        Preferences::Global().SetHotKeys(true);
        Preferences::Global().SetMediaDir("/music/Vorn/");
        return true;
    }

    QCheckBox* AlwaysOnTop() { return dialog_.findChild<QCheckBox*>("alwaysOnTop"); }
    QCheckBox* HotKeys() { return dialog_.findChild<QCheckBox*>("enableHotkeys"); }
    QLineEdit* Folder() { return dialog_.findChild<QLineEdit*>("mediaFolder"); }
    QPushButton* Button(QDialogButtonBox::StandardButton which) {
        return dialog_.findChild<QDialogButtonBox*>()->button(which);
    }
    // What a later run of the program would read.
    static Preferences Stored() { return {}; }

    test::IsolatedHome home_;
    bool prepared_ = Prepare();
    COptionsDialog dialog_;
};

TEST_F(OptionsDialogTest, ShowsOneGeneralPageFilledFromThePreferences) {
    EXPECT_EQ(dialog_.windowTitle(), "Vorn Preferences");
    ASSERT_EQ(dialog_.Tabs()->count(), 1);
    EXPECT_EQ(dialog_.Tabs()->tabText(0), "General");
    EXPECT_NE(dynamic_cast<CGeneralTabDlg*>(dialog_.Tabs()->Pages().at(0)), nullptr);
    EXPECT_EQ(Button(QDialogButtonBox::Ok)->text(), "OK");
    EXPECT_EQ(Button(QDialogButtonBox::Cancel)->text(), "Cancel");
    EXPECT_FALSE(AlwaysOnTop()->isChecked());
    EXPECT_EQ(AlwaysOnTop()->text(), "Always On Top");
    EXPECT_TRUE(HotKeys()->isChecked());
    EXPECT_EQ(HotKeys()->text(), "Enable Hotkeys");
    EXPECT_EQ(Folder()->text(), "/music/Vorn/");
}

TEST_F(OptionsDialogTest, ChangingOnlyTheCheckBoxesClosesWithoutAQuestion) {
    test::MessageBoxAnswerer answerer(QMessageBox::No);
    AlwaysOnTop()->setChecked(true);
    HotKeys()->setChecked(false);
    Button(QDialogButtonBox::Ok)->click();

    EXPECT_EQ(answerer.Count(), 0);
    EXPECT_EQ(dialog_.result(), QDialog::Accepted);
    EXPECT_FALSE(dialog_.isVisible());
    Preferences stored = Stored();
    EXPECT_TRUE(stored.GetAlwaysOnTop());
    EXPECT_FALSE(stored.GetHotKeys());
    EXPECT_EQ(stored.GetMediaDir(), "/music/Vorn/");
}

TEST_F(OptionsDialogTest, TheSameFolderInOtherLetterCaseIsAChangeAndAsks) {
    test::MessageBoxAnswerer answerer(QMessageBox::Yes);
    Folder()->setText("/Music/vorn/");
    Button(QDialogButtonBox::Ok)->click();

    ASSERT_EQ(answerer.Count(), 1);
    EXPECT_EQ(answerer.title, "Media Folder");
    EXPECT_EQ(answerer.text, kQuestion);
    EXPECT_EQ(answerer.icon, QMessageBox::Information);
    EXPECT_EQ(answerer.buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(dialog_.result(), QDialog::Accepted);
    EXPECT_EQ(Stored().GetMediaDir(), "/Music/vorn/");
}

TEST_F(OptionsDialogTest, NoRestoresTheFolderAndKeepsTheDialogOpenWithTheCheckBoxesWritten) {
    {
        test::MessageBoxAnswerer answerer(QMessageBox::No);
        AlwaysOnTop()->setChecked(true);
        Folder()->setText("/elsewhere/");
        Button(QDialogButtonBox::Ok)->click();
        EXPECT_EQ(answerer.Count(), 1);
    }
    EXPECT_TRUE(dialog_.isVisible());
    EXPECT_EQ(Folder()->text(), "/music/Vorn/");
    EXPECT_TRUE(Stored().GetAlwaysOnTop());

    Button(QDialogButtonBox::Cancel)->click();
    EXPECT_EQ(dialog_.result(), QDialog::Rejected);
    EXPECT_FALSE(dialog_.isVisible());
    Preferences stored = Stored();
    EXPECT_EQ(stored.GetMediaDir(), "/music/Vorn/");
    EXPECT_TRUE(stored.GetAlwaysOnTop()) << "written by the first OK, kept by Cancel";
}

TEST_F(OptionsDialogTest, AnEmptyFolderThatDiffersAsksAndYesStoresIt) {
    test::MessageBoxAnswerer answerer(QMessageBox::Yes);
    Folder()->clear();
    Button(QDialogButtonBox::Ok)->click();

    EXPECT_EQ(answerer.Count(), 1);
    EXPECT_EQ(dialog_.result(), QDialog::Accepted);
    EXPECT_EQ(Stored().GetMediaDir(), "");
    EXPECT_NE(test::ReadFile(home_.StorePath()).find("\"MediaDir\"=\"\""), std::string::npos);
}

TEST_F(OptionsDialogTest, CancelWritesNothing) {
    AlwaysOnTop()->setChecked(true);
    HotKeys()->setChecked(false);
    Folder()->setText("/elsewhere/");
    Button(QDialogButtonBox::Cancel)->click();

    EXPECT_EQ(dialog_.result(), QDialog::Rejected);
    Preferences stored = Stored();
    EXPECT_FALSE(stored.GetAlwaysOnTop());
    EXPECT_TRUE(stored.GetHotKeys());
    EXPECT_EQ(stored.GetMediaDir(), "/music/Vorn/");
}

TEST_F(OptionsDialogTest, EnterAndEscapeInsideThePageActAsTheDialogsOkAndCancel) {
    HotKeys()->setChecked(false);
    Folder()->setFocus();
    QTest::keyClick(Folder(), Qt::Key_Return);
    EXPECT_EQ(dialog_.result(), QDialog::Accepted);
    EXPECT_FALSE(Stored().GetHotKeys()) << "Enter went through OK and applied the page";

    COptionsDialog again;
    again.show();
    auto* page = again.Tabs()->Pages().at(0);
    again.findChild<QCheckBox*>("enableHotkeys")->setChecked(true);
    QLineEdit* folder = again.findChild<QLineEdit*>("mediaFolder");
    folder->setFocus();
    QTest::keyClick(folder, Qt::Key_Escape);
    EXPECT_EQ(again.result(), QDialog::Rejected);
    EXPECT_TRUE(page->isVisibleTo(&again)) << "the page itself never closes";
    EXPECT_FALSE(Stored().GetHotKeys());
}

TEST_F(OptionsDialogTest, TheFolderBrowserReplacesTheTextOnlyWhenAFolderIsChosen) {
    test::TempDir folders;
    const std::string picked = folders / "picked";
    std::filesystem::create_directory(picked);
    QString title;
    {
        test::ModalAnswerer chooser([&](QWidget* modal) {
            auto* browser = qobject_cast<QFileDialog*>(modal);
            ASSERT_NE(browser, nullptr);
            title = browser->windowTitle();
            browser->setDirectory(QString::fromStdString(picked));
            static_cast<QDialog*>(browser)->accept();  // QFileDialog::accept, reached through the public base
        });
        dialog_.findChild<QPushButton*>("browse")->click();
        EXPECT_EQ(chooser.Seen(), 1);
    }
    EXPECT_EQ(title, "Please select a folder and press 'OK'.");
    EXPECT_EQ(Folder()->text().toStdString(), picked);

    {
        test::ModalAnswerer canceller([](QWidget* modal) { static_cast<QDialog*>(modal)->reject(); });
        dialog_.findChild<QPushButton*>("browse")->click();
        EXPECT_EQ(canceller.Seen(), 1);
    }
    EXPECT_EQ(Folder()->text().toStdString(), picked);
    EXPECT_EQ(Stored().GetMediaDir(), "/music/Vorn/") << "nothing is stored before OK";
}

}  // namespace
}  // namespace vorn
