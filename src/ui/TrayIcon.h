#pragma once

#include <QIcon>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>

namespace vorn {

// The program's icon in the desktop's notification area, tip "Vorn Custom
// Radio". A double click and a right click (the context request) call their
// handlers; other clicks do nothing. Where the desktop has no notification area
// the icon is never shown and Add says so: the program then runs without it and
// must not hide its window where the listener could not bring it back.
class TrayIcon {
public:
    using Handler = std::function<void()>;
    static constexpr const char* kTip = "Vorn Custom Radio";
    static constexpr const char* kOfflineTip = "Offline";

    TrayIcon(const QIcon& icon, Handler onDoubleClick, Handler onContextMenu);
    ~TrayIcon();
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;

    // Shows the icon; false when there is no notification area.
    bool Add();
    void Remove();
    bool IsShown() const;
    // The tip while the station cannot be reached, or the usual one.
    void SetOffline(bool offline);

    QSystemTrayIcon& Native() { return *icon_; }

private:
    void OnActivated(QSystemTrayIcon::ActivationReason reason);

    std::unique_ptr<QSystemTrayIcon> icon_;
    Handler onDoubleClick_;
    Handler onContextMenu_;
};

}  // namespace vorn
