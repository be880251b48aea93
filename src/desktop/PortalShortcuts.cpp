#include "desktop/PortalShortcuts.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

#include "foundation/LogEntry.h"

namespace vorn {
namespace {

constexpr const char* kRequestInterface = "org.freedesktop.portal.Request";

// One entry of BindShortcuts' a(sa{sv}).
struct PortalShortcutEntry {
    QString id;
    QVariantMap properties;
};

QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcutEntry& entry) {
    argument.beginStructure();
    argument << entry.id << entry.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcutEntry& entry) {
    argument.beginStructure();
    argument >> entry.id >> entry.properties;
    argument.endStructure();
    return argument;
}

}  // namespace
}  // namespace vorn

Q_DECLARE_METATYPE(vorn::PortalShortcutEntry)

namespace vorn {

PortalShortcuts::PortalShortcuts(QDBusConnection connection, std::vector<Shortcut> shortcuts, Activated onActivated)
    : connection_(std::move(connection)), shortcuts_(std::move(shortcuts)), onActivated_(std::move(onActivated)) {
    qDBusRegisterMetaType<PortalShortcutEntry>();
    qDBusRegisterMetaType<QList<PortalShortcutEntry>>();
}

PortalShortcuts::~PortalShortcuts() { Unbind(); }

void PortalShortcuts::Probe(Available done) {
    if (!connection_.isConnected()) {
        VORN_LOG(LogLevel::Info) << "PortalShortcuts : No session bus, global keys are grabbed on the X display";
        done(false);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, "org.freedesktop.DBus.Properties", "Get");
    call << QString(kInterface) << QString("version");
    auto* watcher = new QDBusPendingCallWatcher(connection_.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, done](QDBusPendingCallWatcher* finished) {
        QDBusPendingReply<QDBusVariant> reply = *finished;
        finished->deleteLater();
        const uint version = reply.isError() ? 0 : reply.value().variant().toUInt();
        available_ = version >= 1;
        if (!available_) {
            VORN_LOG(LogLevel::Info) << "PortalShortcuts : No desktop portal for global keys, they are grabbed "
                                        "on the X display";
        } else {
            connection_.connect(kService, kPath, kInterface, "Activated", this,
                                SLOT(OnActivated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
            VORN_LOG(LogLevel::Info) << "PortalShortcuts : Global keys through the desktop portal";
        }
        done(available_);
    });
}

QString PortalShortcuts::RequestPath(const QString& token) const {
    QString sender = connection_.baseService().mid(1);  // ":1.42" is "1_42" in the path
    sender.replace('.', '_');
    return QString(kPath) + "/request/" + sender + "/" + token;
}

void PortalShortcuts::Send(const QString& method, const QList<QVariant>& arguments, const QString& token) {
    // Listening before asking: the response may come before the reply.
    if (!pendingRequest_.isEmpty()) {
        connection_.disconnect(kService, pendingRequest_, kRequestInterface, "Response", this,
                               SLOT(OnResponse(uint, QVariantMap)));
    }
    pendingRequest_ = RequestPath(token);
    connection_.connect(kService, pendingRequest_, kRequestInterface, "Response", this,
                        SLOT(OnResponse(uint, QVariantMap)));
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    call.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(connection_.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [method](QDBusPendingCallWatcher* finished) {
        if (finished->isError()) {
            VORN_LOG(LogLevel::Warning) << "PortalShortcuts : " << method.toStdString()
                                        << " failed: " << finished->error().message().toStdString();
        }
        finished->deleteLater();
    });
}

void PortalShortcuts::Bind() {
    wanted_ = true;
    if (!available_ || !session_.isEmpty()) return;
    const QString token = "vorn" + QString::number(++tokens_);
    QVariantMap options;
    options["handle_token"] = token;
    options["session_handle_token"] = token;
    Send("CreateSession", {options}, token);
}

void PortalShortcuts::SendBindShortcuts() {
    QList<PortalShortcutEntry> entries;
    for (const Shortcut& shortcut : shortcuts_) {
        PortalShortcutEntry entry;
        entry.id = QString::fromStdString(shortcut.id);
        entry.properties["description"] = QString::fromStdString(shortcut.description);
        entry.properties["preferred_trigger"] = QString::fromStdString(shortcut.preferredTrigger);
        entries << entry;
    }
    const QString token = "vorn" + QString::number(++tokens_);
    QVariantMap options;
    options["handle_token"] = token;
    Send("BindShortcuts", {QVariant::fromValue(QDBusObjectPath(session_)), QVariant::fromValue(entries), QString(),
                           options},
         token);
}

void PortalShortcuts::Unbind() {
    wanted_ = false;
    if (session_.isEmpty()) return;
    const QDBusMessage close =
        QDBusMessage::createMethodCall(kService, session_, "org.freedesktop.portal.Session", "Close");
    connection_.asyncCall(close, kCallTimeoutMs);
    session_.clear();
}

void PortalShortcuts::OnResponse(uint code, const QVariantMap& results) {
    if (code != 0) {
        VORN_LOG(LogLevel::Warning) << "PortalShortcuts : The portal refused the global keys (" << code << ")";
        return;
    }
    if (session_.isEmpty() && results.contains("session_handle")) {
        const QVariant handle = results.value("session_handle");
        session_ = handle.canConvert<QDBusObjectPath>() ? handle.value<QDBusObjectPath>().path() : handle.toString();
        if (!wanted_) {
            Unbind();  // switched off while the session was being made
            return;
        }
        SendBindShortcuts();
    }
}

void PortalShortcuts::OnActivated(const QDBusObjectPath& session, const QString& id, qulonglong /*timestamp*/,
                                  const QVariantMap& /*options*/) {
    if (session_.isEmpty() || session.path() != session_) return;
    onActivated_(id.toStdString());
}

}  // namespace vorn
