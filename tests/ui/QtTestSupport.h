#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

class QWidget;

namespace vorn::test {

// The process's QApplication, made on first use (the platform comes from
// QT_QPA_PLATFORM, set by the test's environment).
void EnsureApplication();

// Processes Qt events until the condition holds or the time is up.
bool PumpUntil(const std::function<bool()>& condition, int timeoutMs = 5000);

// The widgets under `root` that the keyboard reaches (Tab) but a screen
// reader would find without a name (no text, label or accessible name), by
// object name or class.
std::vector<std::string> UnnamedFocusableWidgets(QWidget& root);

// While it lives, hands every modal widget that becomes active (a message box,
// a file dialog run by exec) to `answer`. A modal widget still open 5 s after it
// was handed over is closed, so a wrong answer fails the test instead of hanging it.
class ModalAnswerer {
public:
    explicit ModalAnswerer(std::function<void(QWidget*)> answer);
    int Seen() const { return seen_; }
    bool ClosedAfterTimeout() const { return closedAfterTimeout_; }

private:
    void Poll();

    std::function<void(QWidget*)> answer_;
    QTimer timer_;
    QPointer<QWidget> current_;
    std::chrono::steady_clock::time_point handedOver_;
    int seen_ = 0;
    bool closedAfterTimeout_ = false;
};

// Answers every message box with one button and remembers the last one's texts.
class MessageBoxAnswerer {
public:
    explicit MessageBoxAnswerer(QMessageBox::StandardButton button);
    int Count() const { return answerer_.Seen(); }
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;

private:
    ModalAnswerer answerer_;
};

}  // namespace vorn::test
