#include "app/CVornUIApp.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <thread>

#include "app/InstallFolder.h"
#include "app/ShutdownSignals.h"
#include "foundation/LogEntry.h"
#include "foundation/LogTable.h"
#include "foundation/ServerConfig.h"
#include "imaging/PicturePreload.h"
#include "server/ServerConstants.h"
#include "ui/CSkinDialog.h"
#include "ui/CSkinImage.h"
#include "ui/CVornUIDlgDirectShow.h"
#include "ui/MenuCommands.h"
#include "ui/QtUiThread.h"
#include "ui/WindowMessages.h"

namespace vorn {

CVornUIApp::CVornUIApp(int& argc, char** argv)
    : argc_(argc), argv_(argv), executable_(argc > 0 ? argv[0] : "vorn") {}

int CVornUIApp::Run() {
    {
        std::error_code error;
        const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
        if (!error) executable_ = self.string();
    }
    // The first pass's install folder is prepared before the window system is
    // set up, so that the skin's pictures are decoded on the other core while
    // that goes on.
    PreparedPass first = Prepare();
    first.pictures = std::make_unique<PicturePreload>(CVornUIDlg::PictureFiles());

    // While playing, the window repaints a few small strips a second (the
    // title's scroll step, the time). Through shared memory, Qt's X11 back end
    // waits for the X server to let go of the image before each of them (a round
    // trip, and a completion event that wakes two threads); sending those few
    // kilobytes over the connection costs less. A listener's own setting stays;
    // ours is read when the connection opens and not passed on to the programs
    // the window starts (a browser for a link).
    const bool ownShmSetting = !qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM");
    if (ownShmSetting) qputenv("QT_XCB_NO_MITSHM", "1");
    QApplication application(argc_, argv_);
    if (ownShmSetting) qunsetenv("QT_XCB_NO_MITSHM");
    application.setApplicationName("Vorn");
    application.setQuitOnLastWindowClosed(false);
    ShutdownSignals stopSignals([this](int number) { OnStopSignal(number); });
    for (bool firstPass = true; RunOnce(firstPass ? std::move(first) : Prepare()) != kResultOk && !stopRequested_;
         firstPass = false) {
    }
    return 0;
}

CVornUIApp::PreparedPass CVornUIApp::Prepare() const {
    // The install folder becomes the current folder: the log, "pl.txt" and the
    // skin resolve against it.
    PreparedPass pass;
    const std::string install = InstallFolder::Prepare(executable_, pass.problem);
    std::error_code error;
    if (!install.empty()) {
        std::filesystem::current_path(install, error);
    }
    return pass;
}

int CVornUIApp::RunOnce(PreparedPass pass) {
    OpenLog(kGlobalLogName, kGlobalLogFile, kGlobalLogThreshold);
    VORN_LOG(LogLevel::Severe) << "Initializing Vorn Build : " << BUILD_NUMBER;
    if (!pass.problem.empty()) {
        VORN_LOG(LogLevel::Warning) << pass.problem;
    }

    auto window = std::make_unique<CVornUIDlgDirectShow>(QtUiThread::Instance(), pass.pictures.get());
    pass.pictures.reset();
    if (const std::string failed = window->SkinError(); !failed.empty()) {
        // Without its skin the window cannot be shown: say why and end.
        VORN_LOG(LogLevel::Severe) << "Skin missing: " << failed;
        QMessageBox::critical(nullptr, "Vorn", QString::fromStdString(
            "Vorn cannot start: its skin could not be loaded.\n" + failed));
        window.reset();
        CloseAllLogs();
        return kResultOk;
    }
    VORN_LOG(LogLevel::Info) << "Window system : " << QGuiApplication::platformName().toStdString()
                             << ", skin at " << window->Background()->Scale() << "x";

    std::atomic<bool> windowEnded{false};
    std::thread startup([&] { Connect(*window, windowEnded); });
    window_ = window.get();
    const int result = window->RunModal();
    window_ = nullptr;
    EndStartup(*window, windowEnded);
    window->WindowClosed().Set();
    startup.join();

    VORN_LOG(LogLevel::Info) << "Shutting down";
    window.reset();  // the player stops its worker; the playlist writes "pl.txt"
    CloseAllLogs();
    return result;
}

void CVornUIApp::OnStopSignal(int number) {
    stopRequested_ = true;
    VORN_LOG(LogLevel::Info) << "Stopping on signal " << number;
    if (window_ == nullptr) {
        return;
    }
    // A menu or a message box open over the window runs a loop of its own,
    // which would keep the window's loop from ending until it is answered.
    if (QWidget* popup = QApplication::activePopupWidget()) {
        popup->close();
    }
    for (int guard = 0; guard < 8; ++guard) {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || modal == window_) break;
        modal->close();
    }
    window_->SendMessage(MSG_SHUTDOWN);
}

void CVornUIApp::Connect(CVornUIDlg& window, const std::atomic<bool>& windowEnded) {
    while (!window.WindowReady().Wait(100)) {
        if (windowEnded) {
            return;  // the window never became ready: nothing to connect for
        }
    }
    const std::string host = ServerConfig::Host();
    int result = ConnectOnce(window, host, windowEnded);
    if (result == 0 || HandleUpdate(window, result, windowEnded)) {
        return;
    }
    VORN_LOG(LogLevel::Warning) << "Failed to initialize Vorn ... Retrying, Error code = " << result;
    result = ConnectOnce(window, host, windowEnded);
    if (result == 0 || HandleUpdate(window, result, windowEnded)) {
        return;
    }
    VORN_LOG(LogLevel::Warning) << "Failed to initialize Vorn, Error code = " << result;
}

int CVornUIApp::ConnectOnce(CVornUIDlg& window, const std::string& host, const std::atomic<bool>& windowEnded) {
    {
        std::lock_guard lock(connectMutex_);
        if (windowEnded) return 1;
        connecting_ = true;
    }
    const int result = window.ConnectToServer(host, SERVER_PORT);
    std::lock_guard lock(connectMutex_);
    connecting_ = false;
    return result;
}

void CVornUIApp::EndStartup(CVornUIDlg& window, std::atomic<bool>& windowEnded) {
    std::lock_guard lock(connectMutex_);
    windowEnded = true;
    if (connecting_) window.CancelServerCalls();
}

bool CVornUIApp::HandleUpdate(CVornUIDlg& window, int result, const std::atomic<bool>& windowEnded) {
    // MSG_SHUTDOWN is posted, not sent: a stop signal may already have ended the
    // window while its box was open, and the window thread then waits to join
    // this thread; a sent message would wait for it in vain.
    if (result == 6) {
        const int answer = AskOnWindow(window, QMessageBox::Information,
                                       "There is a newer version of Vorn available, would you like to update now",
                                       QMessageBox::Yes | QMessageBox::No, true, windowEnded);
        if (answer == QMessageBox::Yes) {
            window.PostMessage(MSG_SHUTDOWN);
        }
        return true;
    }
    if (result == 7) {
        AskOnWindow(window, QMessageBox::Warning, "There is a newer version of Vorn available, You need to update now",
                    QMessageBox::Ok, true, windowEnded);
        window.PostMessage(MSG_SHUTDOWN);
        return true;
    }
    return false;
}

int CVornUIApp::AskOnWindow(CVornUIDlg& window, int icon, const std::string& text, int buttons, bool openProductPage,
                            const std::atomic<bool>& windowEnded) {
    auto answer = std::make_shared<std::promise<int>>();
    std::future<int> future = answer->get_future();
    const int yesOrOk = (buttons & QMessageBox::Yes) ? QMessageBox::Yes : QMessageBox::Ok;
    // Queued to the window: dropped unanswered if the window goes first.
    QMetaObject::invokeMethod(
        &window,
        [this, &window, answer, icon, text, buttons, openProductPage, yesOrOk] {
            const int pressed = window.ShowMessage(icon, kUpdateCaption, text, buttons);
            // A box closed by a stop signal answers with its escape button, which is
            // OK on the forced update: no web page then.
            if (openProductPage && pressed == yesOrOk && !stopRequested_) {
                window.OpenUrl(ServerConfig::ProductPageUrl());
            }
            answer->set_value(pressed);
        },
        Qt::QueuedConnection);
    while (future.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
        if (windowEnded) {
            return 0;
        }
    }
    return future.get();
}

}  // namespace vorn
