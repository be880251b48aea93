#include "ui/QtUiThread.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace vorn {

void QtUiThread::Post(std::function<void()> work) {
    if (QCoreApplication* app = QCoreApplication::instance(); app != nullptr) {
        QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
    }
}

QtUiThread& QtUiThread::Instance() {
    static QtUiThread thread;
    return thread;
}

}  // namespace vorn
