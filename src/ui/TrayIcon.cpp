#include "ui/TrayIcon.h"

namespace vorn {

TrayIcon::TrayIcon(const QIcon& icon, Handler onDoubleClick, Handler onContextMenu)
    : icon_(std::make_unique<QSystemTrayIcon>(icon)),
      onDoubleClick_(std::move(onDoubleClick)),
      onContextMenu_(std::move(onContextMenu)) {
    icon_->setToolTip(QString::fromLatin1(kTip));
    QObject::connect(icon_.get(), &QSystemTrayIcon::activated, icon_.get(),
                     [this](QSystemTrayIcon::ActivationReason reason) { OnActivated(reason); });
}

TrayIcon::~TrayIcon() { Remove(); }

bool TrayIcon::Add() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return false;
    icon_->show();
    return true;
}

void TrayIcon::Remove() { icon_->hide(); }

void TrayIcon::SetOffline(bool offline) { icon_->setToolTip(QString::fromLatin1(offline ? kOfflineTip : kTip)); }

bool TrayIcon::IsShown() const { return icon_->isVisible(); }

void TrayIcon::OnActivated(QSystemTrayIcon::ActivationReason reason) {
    const Handler* handler = reason == QSystemTrayIcon::DoubleClick ? &onDoubleClick_
                             : reason == QSystemTrayIcon::Context   ? &onContextMenu_
                                                                    : nullptr;
    if (handler == nullptr || !*handler) return;
    // Run once the click has been handled: the context menu runs a loop of its
    // own, and a command from it (Exit) removes the icon, which takes the
    // icon's window down while it is still inside its own mouse handler.
    QMetaObject::invokeMethod(icon_.get(), *handler, Qt::QueuedConnection);
}

}  // namespace vorn
