#include "tests/ui/QtTestSupport.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QElapsedTimer>
#include <QThread>

namespace vorn::test {

std::vector<std::string> UnnamedFocusableWidgets(QWidget& root) {
    std::vector<std::string> unnamed;
    for (QWidget* widget : root.findChildren<QWidget*>()) {
        // A widget that hands its focus to another is read as that one.
        if ((widget->focusPolicy() & Qt::TabFocus) == 0 || widget->focusProxy() != nullptr) continue;
        QAccessibleInterface* seen = QAccessible::queryAccessibleInterface(widget);
        if (seen == nullptr || seen->text(QAccessible::Name).trimmed().isEmpty()) {
            const QString name = widget->objectName();
            unnamed.push_back((name.isEmpty() ? QString::fromLatin1(widget->metaObject()->className()) : name)
                                  .toStdString());
        }
    }
    return unnamed;
}

void EnsureApplication() {
    if (QApplication::instance() != nullptr) return;
    // Widget tests run offscreen unless the test chose a platform (a real X
    // server or Wayland compositor).
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    static int argc = 1;
    static char name[] = "vorn-ui-tests";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);  // lives until the process ends
}

bool PumpUntil(const std::function<bool()>& condition, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        if (condition()) return true;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return condition();
}

ModalAnswerer::ModalAnswerer(std::function<void(QWidget*)> answer) : answer_(std::move(answer)) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start(10);
}

void ModalAnswerer::Poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible()) return;
    if (modal != current_) {
        current_ = modal;
        handedOver_ = std::chrono::steady_clock::now();
        ++seen_;
        answer_(modal);
    } else if (std::chrono::steady_clock::now() - handedOver_ > std::chrono::seconds(5)) {
        closedAfterTimeout_ = true;
        modal->close();
    }
}

MessageBoxAnswerer::MessageBoxAnswerer(QMessageBox::StandardButton button)
    : answerer_([this, button](QWidget* modal) {
          auto* box = qobject_cast<QMessageBox*>(modal);
          if (box == nullptr) return;
          title = box->windowTitle();
          text = box->text();
          icon = box->icon();
          buttons = box->standardButtons();
          if (QAbstractButton* answer = box->button(button)) answer->click();
      }) {}

}  // namespace vorn::test
