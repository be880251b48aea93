#pragma once

#include <QObject>

#include <functional>
#include <memory>

class QSocketNotifier;

namespace vorn {

// Turns SIGINT, SIGTERM and SIGHUP (Ctrl-C in a terminal, the end of a desktop
// session, a service manager) into a call of `onSignal` on the thread that
// made this object, through a pipe the handler writes to, so the program can
// end the way its Exit command does and keep the listener's playlist. After
// the first signal the defaults are back, so a second one ends a shutdown that
// hangs. One object at a time; the defaults are also restored when it goes.
class ShutdownSignals : public QObject {
public:
    explicit ShutdownSignals(std::function<void(int)> onSignal);
    ~ShutdownSignals() override;
    ShutdownSignals(const ShutdownSignals&) = delete;
    ShutdownSignals& operator=(const ShutdownSignals&) = delete;

    bool Installed() const { return notifier_ != nullptr; }

private:
    void Drain();

    std::function<void(int)> onSignal_;
    int pipe_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace vorn
