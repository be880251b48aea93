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

bool TrayIcon::IsShown() const { return icon_->isVisible(); }

void TrayIcon::OnActivated(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
        case QSystemTrayIcon::DoubleClick:
            if (onDoubleClick_) onDoubleClick_();
            break;
        case QSystemTrayIcon::Context:
            if (onContextMenu_) onContextMenu_();
            break;
        default:
            break;
    }
}

}  // namespace vorn
