#include "desktop/MprisService.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "foundation/LogEntry.h"

namespace vorn {
namespace {

constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
constexpr const char* kNoTrack = "/org/mpris/MediaPlayer2/TrackList/NoTrack";

constexpr const char* kIntrospection = R"(  <interface name="org.mpris.MediaPlayer2">
    <method name="Raise"/>
    <method name="Quit"/>
    <property name="CanQuit" type="b" access="read"/>
    <property name="CanRaise" type="b" access="read"/>
    <property name="HasTrackList" type="b" access="read"/>
    <property name="Identity" type="s" access="read"/>
    <property name="DesktopEntry" type="s" access="read"/>
    <property name="SupportedUriSchemes" type="as" access="read"/>
    <property name="SupportedMimeTypes" type="as" access="read"/>
  </interface>
  <interface name="org.mpris.MediaPlayer2.Player">
    <method name="Next"/>
    <method name="Previous"/>
    <method name="Pause"/>
    <method name="PlayPause"/>
    <method name="Stop"/>
    <method name="Play"/>
    <method name="Seek">
      <arg name="Offset" type="x" direction="in"/>
    </method>
    <method name="SetPosition">
      <arg name="TrackId" type="o" direction="in"/>
      <arg name="Position" type="x" direction="in"/>
    </method>
    <method name="OpenUri">
      <arg name="Uri" type="s" direction="in"/>
    </method>
    <signal name="Seeked">
      <arg name="Position" type="x"/>
    </signal>
    <property name="PlaybackStatus" type="s" access="read"/>
    <property name="Rate" type="d" access="read"/>
    <property name="Metadata" type="a{sv}" access="read"/>
    <property name="Volume" type="d" access="read"/>
    <property name="Position" type="x" access="read"/>
    <property name="MinimumRate" type="d" access="read"/>
    <property name="MaximumRate" type="d" access="read"/>
    <property name="CanGoNext" type="b" access="read"/>
    <property name="CanGoPrevious" type="b" access="read"/>
    <property name="CanPlay" type="b" access="read"/>
    <property name="CanPause" type="b" access="read"/>
    <property name="CanSeek" type="b" access="read"/>
    <property name="CanControl" type="b" access="read"/>
    <property name="Rating" type="d" access="readwrite"/>
  </interface>
  <interface name="org.freedesktop.DBus.Properties">
    <method name="Get">
      <arg name="interface_name" type="s" direction="in"/>
      <arg name="property_name" type="s" direction="in"/>
      <arg name="value" type="v" direction="out"/>
    </method>
    <method name="GetAll">
      <arg name="interface_name" type="s" direction="in"/>
      <arg name="properties" type="a{sv}" direction="out"/>
    </method>
    <method name="Set">
      <arg name="interface_name" type="s" direction="in"/>
      <arg name="property_name" type="s" direction="in"/>
      <arg name="value" type="v" direction="in"/>
    </method>
    <signal name="PropertiesChanged">
      <arg name="interface_name" type="s"/>
      <arg name="changed_properties" type="a{sv}"/>
      <arg name="invalidated_properties" type="as"/>
    </signal>
  </interface>
)";

QString StatusText(PlayerControl::Status status) {
    switch (status) {
        case PlayerControl::Status::kPlaying: return "Playing";
        case PlayerControl::Status::kPaused: return "Paused";
        default: return "Stopped";
    }
}

QString TrackId(std::int32_t itemId) { return "/org/vorn/item/" + QString::number(itemId); }

}  // namespace

MprisService::MprisService(PlayerControl& player, QDBusConnection connection)
    : player_(player), connection_(std::move(connection)) {}

MprisService::~MprisService() {
    if (registered_) {
        connection_.unregisterObject(kObjectPath);
        connection_.unregisterService(serviceName_);
    }
}

bool MprisService::Start() {
    if (!connection_.isConnected()) {
        VORN_LOG(LogLevel::Info) << "MprisService : No session bus, media controls left out";
        return false;
    }
    serviceName_ = kServiceName;
    if (!connection_.registerService(serviceName_)) {
        // Another instance has the plain name.
        serviceName_ = QString(kServiceName) + ".instance" + QString::number(::getpid());
        if (!connection_.registerService(serviceName_)) {
            VORN_LOG(LogLevel::Info) << "MprisService : Could not take a bus name, media controls left out: "
                                     << connection_.lastError().message().toStdString();
            return false;
        }
    }
    if (!connection_.registerVirtualObject(kObjectPath, this, QDBusConnection::SingleNode)) {
        connection_.unregisterService(serviceName_);
        VORN_LOG(LogLevel::Info) << "MprisService : Could not export the player, media controls left out";
        return false;
    }
    registered_ = true;
    lastPlayer_ = Properties(kPlayerInterface);
    VORN_LOG(LogLevel::Info) << "MprisService : Media controls on the session bus as "
                             << serviceName_.toStdString();
    return true;
}

QString MprisService::introspect(const QString& /*path*/) const { return kIntrospection; }

QVariantMap MprisService::Metadata() {
    QVariantMap metadata;
    const std::optional<TrackInfo> track = player_.CurrentTrack();
    if (!track) {
        metadata["mpris:trackid"] = QVariant::fromValue(QDBusObjectPath(kNoTrack));
        return metadata;
    }
    metadata["mpris:trackid"] = QVariant::fromValue(QDBusObjectPath(TrackId(track->itemId)));
    if (track->lengthUs > 0) metadata["mpris:length"] = qlonglong(track->lengthUs);
    metadata["xesam:title"] = QString::fromStdString(track->title);
    metadata["xesam:artist"] = QStringList{QString::fromStdString(track->artist)};
    metadata["xesam:genre"] = QStringList{QString::fromStdString(track->genre)};
    metadata["xesam:album"] = QString::fromStdString(track->album);
    metadata["xesam:url"] = QUrl::fromLocalFile(QString::fromStdString(track->path)).toString(QUrl::FullyEncoded);
    metadata["xesam:userRating"] = track->stars / 5.0;
    metadata["vorn:source"] = QString::fromStdString(track->source);
    if (!track->artPath.empty()) {
        metadata["mpris:artUrl"] = QUrl::fromLocalFile(QString::fromStdString(track->artPath)).toString(QUrl::FullyEncoded);
    }
    return metadata;
}

QVariantMap MprisService::Properties(const QString& interface) {
    QVariantMap properties;
    if (interface == kRootInterface) {
        properties["CanQuit"] = true;
        properties["CanRaise"] = true;
        properties["HasTrackList"] = false;
        properties["Identity"] = QString(kIdentity);
        properties["DesktopEntry"] = QString("vorn");
        properties["SupportedUriSchemes"] = QStringList();
        properties["SupportedMimeTypes"] = QStringList();
    } else if (interface == kPlayerInterface) {
        const std::optional<TrackInfo> track = player_.CurrentTrack();
        properties["PlaybackStatus"] = StatusText(player_.PlaybackStatus());
        properties["Rate"] = 1.0;
        properties["MinimumRate"] = 1.0;
        properties["MaximumRate"] = 1.0;
        properties["Volume"] = 1.0;
        properties["Metadata"] = Metadata();
        properties["Position"] = qlonglong(player_.PositionUs());
        properties["Rating"] = track ? track->stars / 5.0 : 0.0;
        for (const char* flag : {"CanGoNext", "CanGoPrevious", "CanPlay", "CanPause", "CanSeek", "CanControl"}) {
            properties[flag] = true;
        }
    }
    return properties;
}

void MprisService::PlayerChanged() {
    if (!registered_) return;
    QVariantMap now = Properties(kPlayerInterface);
    now.remove("Position");  // changes all the time: read on demand, announced by Seeked
    QVariantMap changed;
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        if (lastPlayer_.value(it.key()) != it.value()) changed.insert(it.key(), it.value());
    }
    lastPlayer_ = now;
    if (changed.isEmpty()) return;
    QDBusMessage signal = QDBusMessage::createSignal(kObjectPath, kPropertiesInterface, "PropertiesChanged");
    signal << QString(kPlayerInterface) << changed << QStringList();
    connection_.send(signal);
}

void MprisService::Seeked(std::int64_t positionUs) {
    if (!registered_) return;
    QDBusMessage signal = QDBusMessage::createSignal(kObjectPath, kPlayerInterface, "Seeked");
    signal << qlonglong(positionUs);
    connection_.send(signal);
}

bool MprisService::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
    const QString interface = message.interface();
    if (interface == kPropertiesInterface) {
        const QList<QVariant> args = message.arguments();
        const QString target = args.value(0).toString();
        if (target != kRootInterface && target != kPlayerInterface) {
            connection.send(message.createErrorReply("org.freedesktop.DBus.Error.UnknownInterface",
                                                     "No such interface: " + target));
        } else if (message.member() == "Get" && args.size() == 2) {
            const QVariantMap all = Properties(target);
            const QString name = args.value(1).toString();
            if (!all.contains(name)) {
                connection.send(message.createErrorReply("org.freedesktop.DBus.Error.UnknownProperty",
                                                         "No such property: " + name));
            } else {
                connection.send(message.createReply(QVariant::fromValue(QDBusVariant(all.value(name)))));
            }
        } else if (message.member() == "GetAll" && args.size() == 1) {
            connection.send(message.createReply(Properties(target)));
        } else if (message.member() == "Set" && args.size() == 3) {
            SetProperty(message, connection);
        } else {
            return false;
        }
        return true;
    }
    if (interface == kRootInterface || interface == kPlayerInterface || interface.isEmpty()) {
        Call(message, connection);
        return true;
    }
    return false;
}

void MprisService::SetProperty(const QDBusMessage& message, const QDBusConnection& connection) {
    const QList<QVariant> args = message.arguments();
    const QString target = args.value(0).toString();
    const QString name = args.value(1).toString();
    if (target != kPlayerInterface || name != "Rating") {
        const bool known = Properties(target).contains(name);
        connection.send(message.createErrorReply(
            known ? "org.freedesktop.DBus.Error.PropertyReadOnly" : "org.freedesktop.DBus.Error.UnknownProperty",
            (known ? "Read-only property: " : "No such property: ") + name));
        return;
    }
    bool isNumber = false;
    const QVariant value = args.value(2).value<QDBusVariant>().variant();
    const double rating = value.toDouble(&isNumber);
    if (!isNumber || !(rating >= 0.0 && rating <= 1.0)) {
        connection.send(message.createErrorReply("org.freedesktop.DBus.Error.InvalidArgs",
                                                 "Rating must be a number from 0.0 to 1.0"));
        return;
    }
    connection.send(message.createReply());
    const auto stars = static_cast<std::int32_t>(std::lround(rating * 5.0));
    if (stars >= 1 && player_.CurrentTrack()) {
        player_.Rate(stars);
    }
}

void MprisService::Call(const QDBusMessage& message, const QDBusConnection& connection) {
    const QString member = message.member();
    const QList<QVariant> args = message.arguments();
    if (member == "Quit") {
        connection.send(message.createReply());
        // Ends the window that owns this object: not while inside its call.
        PlayerControl* player = &player_;
        QTimer::singleShot(0, [player] { player->Quit(); });
        return;
    }
    if (member == "OpenUri") {
        connection.send(message.createErrorReply("org.mpris.MediaPlayer2.Player.Error.NotSupported",
                                                 "Vorn plays what its station picks"));
        return;
    }
    if (member == "Raise") {
        player_.Raise();
    } else if (member == "Play") {
        player_.Play();
    } else if (member == "Pause" || member == "Stop") {
        player_.Pause();
    } else if (member == "PlayPause") {
        player_.PlayPause();
    } else if (member == "Next") {
        player_.Next();
    } else if (member == "Previous") {
        player_.Previous();
    } else if (member == "Seek" && args.size() == 1) {
        if (player_.CurrentTrack()) Seek(player_.PositionUs() + args[0].toLongLong());
    } else if (member == "SetPosition" && args.size() == 2) {
        const std::optional<TrackInfo> track = player_.CurrentTrack();
        const qlonglong position = args[1].toLongLong();
        // A position for another track, or outside this one, is ignored.
        if (track && args[0].value<QDBusObjectPath>().path() == TrackId(track->itemId) && position >= 0 &&
            (track->lengthUs == 0 || position <= track->lengthUs)) {
            Seek(position);
        }
    } else {
        connection.send(message.createErrorReply("org.freedesktop.DBus.Error.UnknownMethod",
                                                 "No such method: " + member));
        return;
    }
    connection.send(message.createReply());
}

void MprisService::Seek(std::int64_t targetUs) {
    const std::optional<TrackInfo> track = player_.CurrentTrack();
    if (track && track->lengthUs > 0 && targetUs >= track->lengthUs) {
        player_.Next();  // past the end: as the end of the track
        return;
    }
    player_.SeekToUs(std::max<std::int64_t>(0, targetUs));
    Seeked(player_.PositionUs());
}

}  // namespace vorn
