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
#include "foundation/ServerConfig.h"
#include "tests/support/TempDir.h"
#include "tests/ui/QtTestSupport.h"
#include "ui/CConnectionTabDlg.h"
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
        Preferences::Global().SetProxyServer("proxy.example");
        Preferences::Global().SetProxyPort(3128);
        Preferences::Global().SetUseProxy(false);
        ServerConfig::SetHost("music.example.org");
        return true;
    }

    QCheckBox* AlwaysOnTop() { return dialog_.findChild<QCheckBox*>("alwaysOnTop"); }
    QCheckBox* HotKeys() { return dialog_.findChild<QCheckBox*>("enableHotkeys"); }
    QCheckBox* Levelling() { return dialog_.findChild<QCheckBox*>("levelLoudness"); }
    QLineEdit* Folder() { return dialog_.findChild<QLineEdit*>("mediaFolder"); }
    QLineEdit* Host() { return dialog_.findChild<QLineEdit*>("serverHost"); }
    QCheckBox* UseProxy() { return dialog_.findChild<QCheckBox*>("useProxy"); }
    QLineEdit* ProxyServer() { return dialog_.findChild<QLineEdit*>("proxyServer"); }
    QLineEdit* ProxyPort() { return dialog_.findChild<QLineEdit*>("proxyPort"); }
    QPushButton* Button(QDialogButtonBox::StandardButton which) {
        return dialog_.findChild<QDialogButtonBox*>()->button(which);
    }
    // What a later run of the program would read.
    static Preferences Stored() { return {}; }

    test::IsolatedHome home_;
    bool prepared_ = Prepare();
    COptionsDialog dialog_;
};

TEST_F(OptionsDialogTest, EveryFieldAndButtonHasANameForScreenReaders) {
    EXPECT_EQ(test::UnnamedFocusableWidgets(dialog_), std::vector<std::string>{});
}

TEST_F(OptionsDialogTest, ShowsTheGeneralPageFilledFromThePreferences) {
    EXPECT_EQ(dialog_.windowTitle(), "Vorn Preferences");
    ASSERT_EQ(dialog_.Tabs()->count(), 2);
    EXPECT_EQ(dialog_.Tabs()->tabText(0), "General");
    EXPECT_NE(dynamic_cast<CGeneralTabDlg*>(dialog_.Tabs()->Pages().at(0)), nullptr);
    EXPECT_EQ(dialog_.Tabs()->tabText(1), "Connection");
    EXPECT_NE(dynamic_cast<CConnectionTabDlg*>(dialog_.Tabs()->Pages().at(1)), nullptr);
    EXPECT_EQ(Button(QDialogButtonBox::Ok)->text(), "OK");
    EXPECT_EQ(Button(QDialogButtonBox::Cancel)->text(), "Cancel");
    EXPECT_FALSE(AlwaysOnTop()->isChecked());
    EXPECT_EQ(AlwaysOnTop()->text(), "Always On Top");
    EXPECT_TRUE(HotKeys()->isChecked());
    EXPECT_EQ(HotKeys()->text(), "Enable Hotkeys");
    ASSERT_NE(Levelling(), nullptr);
    EXPECT_TRUE(Levelling()->isChecked());  // on while the store has no say
    EXPECT_EQ(Levelling()->text(), "Level loudness");
    EXPECT_EQ(Folder()->text(), "/music/Vorn/");
}

TEST_F(OptionsDialogTest, ChangingOnlyTheCheckBoxesClosesWithoutAQuestion) {
    test::MessageBoxAnswerer answerer(QMessageBox::No);
    AlwaysOnTop()->setChecked(true);
    HotKeys()->setChecked(false);
    Levelling()->setChecked(false);
    Button(QDialogButtonBox::Ok)->click();

    EXPECT_NE(test::ReadFile(home_.StorePath()).find("\"pref_levelling\"=dword:00000000\n"), std::string::npos);
    EXPECT_EQ(answerer.Count(), 0);
    EXPECT_EQ(dialog_.result(), QDialog::Accepted);
    EXPECT_FALSE(dialog_.isVisible());
    Preferences stored = Stored();
    EXPECT_TRUE(stored.GetAlwaysOnTop());
    EXPECT_FALSE(stored.GetHotKeys());
    EXPECT_FALSE(stored.GetLevelling());
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

TEST_F(OptionsDialogTest, TheDialogHasAFixedSizeAndNoMaximiseButton) {
    const Qt::WindowFlags flags = dialog_.windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::CustomizeWindowHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::MSWindowsFixedSizeDialogHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_EQ(dialog_.minimumSize(), dialog_.maximumSize());
    EXPECT_EQ(dialog_.size(), QSize(COptionsDialog::kWidth, COptionsDialog::kHeight));
}

TEST_F(OptionsDialogTest, TheConnectionPageShowsTheStoredValuesAndEditsTheProxyOnlyWhileTicked) {
    EXPECT_EQ(Host()->text(), "music.example.org");
    EXPECT_FALSE(UseProxy()->isChecked());
    EXPECT_EQ(UseProxy()->text(), "&Use a proxy");  // Alt+U ticks it
    EXPECT_EQ(ProxyServer()->text(), "proxy.example");
    EXPECT_EQ(ProxyPort()->text(), "3128");
    EXPECT_FALSE(ProxyServer()->isEnabled());
    EXPECT_FALSE(ProxyPort()->isEnabled());
    UseProxy()->setChecked(true);
    EXPECT_TRUE(ProxyServer()->isEnabled());
    EXPECT_TRUE(ProxyPort()->isEnabled());
}

// A refused field names itself, keeps the dialog open, brings its page to the
// front, and leaves the whole store as it was: General's values too, because
// every page is checked before any page writes.
TEST_F(OptionsDialogTest, BadConnectionValuesAreRefusedAndNothingIsWritten) {
    struct Case {
        const char* host;
        bool useProxy;
        const char* server;
        const char* port;
        const char* named;
    };
    const Case cases[] = {
        {"music.example.org", true, "proxy.example", "0", "The proxy port"},
        {"music.example.org", true, "proxy.example", "65536", "The proxy port"},
        {"music.example.org", false, "proxy.example", "80a", "The proxy port"},
        {"music.example.org", true, "proxy.example", "", "The proxy port"},
        {"music.example.org", true, "", "3128", "The proxy server"},
        {"music.example.org", false, "proxy example", "3128", "The proxy server"},
        {"music_box.example", false, "proxy.example", "3128", "The station host"},
        {"-music.example.org", false, "proxy.example", "3128", "The station host"},
        {"", false, "proxy.example", "3128", "The station host"},
    };
    const std::string before = test::ReadFile(home_.StorePath());
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.host) + " / " + c.server + " / " + c.port);
        dialog_.Tabs()->setCurrentIndex(0);
        AlwaysOnTop()->setChecked(true);
        Host()->setText(c.host);
        UseProxy()->setChecked(c.useProxy);
        ProxyServer()->setText(c.server);
        ProxyPort()->setText(c.port);
        test::MessageBoxAnswerer answerer(QMessageBox::Ok);
        Button(QDialogButtonBox::Ok)->click();

        ASSERT_EQ(answerer.Count(), 1);
        EXPECT_EQ(answerer.icon, QMessageBox::Warning);
        EXPECT_TRUE(answerer.text.startsWith(c.named)) << answerer.text.toStdString();
        EXPECT_TRUE(dialog_.isVisible());
        EXPECT_EQ(dialog_.Tabs()->currentIndex(), 1);
        EXPECT_EQ(test::ReadFile(home_.StorePath()), before);
    }
    EXPECT_FALSE(Stored().GetAlwaysOnTop());
    EXPECT_EQ(ServerConfig::Host(), "music.example.org");
}

TEST_F(OptionsDialogTest, GoodConnectionValuesAreStoredInTheirTextFormsAndTheProxyRuleHoldsAfterReload) {
    Host()->setText(" 10.0.0.7 ");
    UseProxy()->setChecked(true);
    ProxyServer()->setText("cache.example.net");
    ProxyPort()->setText("8081");
    Button(QDialogButtonBox::Ok)->click();
    ASSERT_EQ(dialog_.result(), QDialog::Accepted);

    const std::string store = test::ReadFile(home_.StorePath());
    EXPECT_NE(store.find("\"ServerHost\"=\"10.0.0.7\"\n"), std::string::npos) << store;
    EXPECT_NE(store.find("\"pref_useproxy\"=\"1\"\n"), std::string::npos) << store;
    EXPECT_NE(store.find("\"pref_proxyserver\"=\"cache.example.net\"\n"), std::string::npos) << store;
    EXPECT_NE(store.find("\"pref_proxyport\"=\"8081\"\n"), std::string::npos) << store;
    EXPECT_EQ(ServerConfig::Host(), "10.0.0.7");
    {
        Preferences stored = Stored();
        EXPECT_TRUE(stored.GetUseProxy());
        EXPECT_EQ(stored.GetProxyServer(), "cache.example.net");
        EXPECT_EQ(stored.GetProxyPort(), 8081);
    }

    // Unticked: the proxy is off after a reload; its server and port stay stored.
    Preferences::Global().Reload();
    COptionsDialog again;
    again.show();
    again.findChild<QCheckBox*>("useProxy")->setChecked(false);
    again.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    ASSERT_EQ(again.result(), QDialog::Accepted);
    Preferences stored = Stored();
    EXPECT_FALSE(stored.GetUseProxy());
    EXPECT_EQ(stored.GetProxyServer(), "cache.example.net");
    EXPECT_EQ(stored.GetProxyPort(), 8081);
    EXPECT_NE(test::ReadFile(home_.StorePath()).find("\"pref_useproxy\"=\"0\"\n"), std::string::npos);
}

TEST_F(OptionsDialogTest, AnUnchangedConnectionPageWritesNothing) {
    const std::string before = test::ReadFile(home_.StorePath());
    Button(QDialogButtonBox::Ok)->click();
    EXPECT_EQ(dialog_.result(), QDialog::Accepted);
    EXPECT_EQ(test::ReadFile(home_.StorePath()), before);
}

}  // namespace
}  // namespace vorn
