#include "ui/WaylandFrames.h"

#include <QEvent>
#include <QEventLoop>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include "ui/WindowSystem.h"

namespace vorn {

namespace {

// Ends the loop when the window's next update request is delivered. Qt's
// Wayland window holds a requested update back until the compositor has
// answered the frame in flight, and answers it on the window thread only
// after the answering thread has let go of the callback.
class UpdateRequestWatch : public QObject {
public:
    explicit UpdateRequestWatch(QEventLoop& loop) : loop_(loop) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::UpdateRequest) loop_.quit();
        return QObject::eventFilter(watched, event);
    }

private:
    QEventLoop& loop_;
};

void AwaitUpdateRequest(QWindow& window) {
    QEventLoop loop;
    UpdateRequestWatch watch(loop);
    window.installEventFilter(&watch);
    QTimer::singleShot(WaylandFrames::kRoundMs, &loop, &QEventLoop::quit);
    window.requestUpdate();
    // The listener's clicks wait: the window is on its way out.
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    window.removeEventFilter(&watch);
}

}  // namespace

void WaylandFrames::Settle(QWidget& window) {
    QWindow* handle = window.windowHandle();
    if (!WindowSystem::IsWayland() || handle == nullptr || !handle->isExposed()) return;
    // The first request may still paint what was dirty before the updates
    // stopped, a frame that asks for an answer of its own; the second waits
    // for that one.
    AwaitUpdateRequest(*handle);
    AwaitUpdateRequest(*handle);
}

void WaylandFrames::Hide(QWidget& window, const std::function<void()>& hide) {
    if (!window.isVisible() || !window.updatesEnabled()) {
        hide();
        return;
    }
    window.setUpdatesEnabled(false);
    Settle(window);
    hide();
    window.setUpdatesEnabled(true);
}

}  // namespace vorn
