#include "tests/desktop/PrivateSessionBus.h"

#include <QCoreApplication>

#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

namespace vorn::test {

PrivateSessionBus::PrivateSessionBus(const std::string& folder) {
    static int argc = 1;
    static char name[] = "desktop_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);

    const std::string socket = folder + "/bus";
    daemon_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile",
                                 "--address=unix:path=" + socket},
        std::vector<std::string>{}, folder + "/bus.log");
    for (int i = 0; i < 200 && !std::filesystem::exists(socket); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    if (std::filesystem::exists(socket)) address_ = QString::fromStdString("unix:path=" + socket);
}

}  // namespace vorn::test
