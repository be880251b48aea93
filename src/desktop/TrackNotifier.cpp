#include "desktop/TrackNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

#include "foundation/LogEntry.h"

namespace vorn {

TrackNotifier::TrackNotifier(QDBusConnection connection, RateHandler onRate)
    : connection_(std::move(connection)), onRate_(std::move(onRate)) {}

TrackNotifier::~TrackNotifier() {
    if (connection_.isConnected()) {
        connection_.disconnect(kService, kPath, kService, "ActionInvoked", this, SLOT(OnActionInvoked(uint, QString)));
    }
}

bool TrackNotifier::Start() {
    if (!connection_.isConnected()) {
        VORN_LOG(LogLevel::Info) << "TrackNotifier : No session bus, track notices left out";
        return false;
    }
    connection_.connect(kService, kPath, kService, "ActionInvoked", this, SLOT(OnActionInvoked(uint, QString)));
    const QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, "GetCapabilities");
    auto* watcher = new QDBusPendingCallWatcher(connection_.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
        QDBusPendingReply<QStringList> reply = *done;
        done->deleteLater();
        if (reply.isError()) {
            ReportFailure(reply.error().message());
            return;
        }
        actions_ = reply.value().contains("actions");
    });
    return true;
}

void TrackNotifier::TrackStarted(const TrackInfo& track) {
    Notify(track, QString::fromStdString(track.artist), -1);
}

void TrackNotifier::RatingWanted(const TrackInfo& track) { Notify(track, kRateText, 0); }

void TrackNotifier::Notify(const TrackInfo& track, const QString& body, int expireMs) {
    if (!connection_.isConnected()) return;
    QStringList actions;
    if (actions_) {
        for (int stars = 1; stars <= 5; ++stars) {
            actions << QString::number(stars) << QString(stars, QChar(0x2605));
        }
    }
    QVariantMap hints;
    hints["urgency"] = QVariant::fromValue(uchar(1));
    hints["desktop-entry"] = QString("vorn");
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, "Notify");
    call << QString(kAppName) << noticeId_ << QString() << QString::fromStdString(track.title) << body << actions
         << hints << expireMs;
    const std::uint64_t number = ++sent_;
    const std::int32_t itemId = track.itemId;
    noticeItem_ = itemId;
    auto* watcher = new QDBusPendingCallWatcher(connection_.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, number](QDBusPendingCallWatcher* done) {
        QDBusPendingReply<uint> reply = *done;
        done->deleteLater();
        if (reply.isError()) {
            ReportFailure(reply.error().message());
        } else if (number == sent_) {
            noticeId_ = reply.value();
        }
    });
}

void TrackNotifier::OnActionInvoked(uint id, const QString& action) {
    bool isNumber = false;
    const int stars = action.toInt(&isNumber);
    if (id != noticeId_ || !isNumber || stars < 1 || stars > 5) {
        return;  // another program's notice, or not one of ours
    }
    onRate_(noticeItem_, stars);
}

void TrackNotifier::ReportFailure(const QString& what) {
    if (failedOnce_) return;
    failedOnce_ = true;
    VORN_LOG(LogLevel::Info) << "TrackNotifier : Notification server not available, track notices left out: "
                             << what.toStdString();
}

}  // namespace vorn
