#pragma once

#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QString>
#include <QVariantMap>

#include <cstdint>

#include "desktop/PlayerControl.h"

namespace vorn {

// The player on the session bus as an MPRIS 2.2 media player, so the desktop's
// media keys, panel widgets and lock screen control it, plus a writable
// "Rating" property (0.0-1.0, stars / 5) on the Player interface that rates
// the current item as a click on a star does. The track's picture, where it
// has one, is its metadata's "mpris:artUrl" (a file:// URL).
//
// Lives on the window thread: Qt hands every call for it over to that thread,
// and every call goes straight to the PlayerControl. Quit is answered first
// and acted on afterwards, since it ends the window that owns this object.
class MprisService : public QDBusVirtualObject {
public:
    static constexpr const char* kServiceName = "org.mpris.MediaPlayer2.vorn";
    static constexpr const char* kObjectPath = "/org/mpris/MediaPlayer2";
    static constexpr const char* kRootInterface = "org.mpris.MediaPlayer2";
    static constexpr const char* kPlayerInterface = "org.mpris.MediaPlayer2.Player";
    static constexpr const char* kIdentity = "Vorn Custom Radio";

    MprisService(PlayerControl& player, QDBusConnection connection);
    ~MprisService() override;
    MprisService(const MprisService&) = delete;
    MprisService& operator=(const MprisService&) = delete;

    // Takes the bus name (a second instance adds ".instance<pid>") and exports
    // the object. False, with one log line, where there is no session bus.
    bool Start();
    QString ServiceName() const { return serviceName_; }

    // From the window: what changed, for the PropertiesChanged signal.
    void PlayerChanged();
    void Seeked(std::int64_t positionUs);

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    QVariantMap Metadata();
    QVariantMap Properties(const QString& interface);
    void Call(const QDBusMessage& message, const QDBusConnection& connection);
    void SetProperty(const QDBusMessage& message, const QDBusConnection& connection);
    void Seek(std::int64_t targetUs);

    PlayerControl& player_;
    QDBusConnection connection_;
    QString serviceName_;
    bool registered_ = false;
    QVariantMap lastPlayer_;  // the Player properties as last announced
};

}  // namespace vorn
