#include "app/ShutdownSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>

namespace vorn {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void RestoreDefaults() {
    for (int number : kSignals) {
        ::signal(number, SIG_DFL);
    }
}

// The write end for the handler; -1 while no object is installed.
std::atomic<int> gWriteEnd{-1};

extern "C" void OnShutdownSignal(int number) {
    const int saved = errno;
    const int fd = gWriteEnd.load();
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(number);
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);  // a full pipe: the stop is already on its way
    }
    errno = saved;
}

}  // namespace

ShutdownSignals::ShutdownSignals(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {
    if (gWriteEnd.load() >= 0 || ::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        pipe_[0] = pipe_[1] = -1;
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(pipe_[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { Drain(); });
    gWriteEnd = pipe_[1];
    struct sigaction action {};
    action.sa_handler = OnShutdownSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : kSignals) {
        ::sigaction(number, &action, nullptr);
    }
}

ShutdownSignals::~ShutdownSignals() {
    if (!notifier_) return;
    RestoreDefaults();
    gWriteEnd = -1;
    notifier_.reset();
    ::close(pipe_[0]);
    ::close(pipe_[1]);
}

void ShutdownSignals::Drain() {
    unsigned char numbers[16];
    const ssize_t count = ::read(pipe_[0], numbers, sizeof numbers);
    if (count > 0) {
        RestoreDefaults();
    }
    for (ssize_t i = 0; i < count; ++i) {
        onSignal_(numbers[i]);
    }
}

}  // namespace vorn
