#include "desktop/TrackNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

#include <algorithm>

#include "foundation/LogEntry.h"

namespace vorn {

TrackNotifier::TrackNotifier(QDBusConnection connection, RateHandler onRate)
    : connection_(std::move(connection)), onRate_(std::move(onRate)) {}

TrackNotifier::~TrackNotifier() {
    if (connection_.isConnected()) {
        connection_.disconnect(kService, kPath, kService, "ActionInvoked", this, SLOT(OnActionInvoked(uint, QString)));
        connection_.disconnect(kService, kPath, kService, "NotificationClosed", this,
                               SLOT(OnNotificationClosed(uint, uint)));
    }
}

bool TrackNotifier::Start() {
    if (!connection_.isConnected()) {
        VORN_LOG(LogLevel::Info) << "TrackNotifier : No session bus, track notices left out";
        return false;
    }
    connection_.connect(kService, kPath, kService, "ActionInvoked", this, SLOT(OnActionInvoked(uint, QString)));
    connection_.connect(kService, kPath, kService, "NotificationClosed", this, SLOT(OnNotificationClosed(uint, uint)));
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
    if (!track.artPath.empty()) {
        hints["image-path"] = QUrl::fromLocalFile(QString::fromStdString(track.artPath)).toString(QUrl::FullyEncoded);
    }
    if (noticeId_ != 0) {
        Close(noticeId_);
        noticeId_ = 0;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, "Notify");
    call << QString(kAppName) << uint(0) << QString() << QString::fromStdString(track.title) << body << actions
         << hints << expireMs;
    const std::uint64_t number = ++sent_;
    const std::int32_t itemId = track.itemId;
    auto* watcher = new QDBusPendingCallWatcher(connection_.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, number, itemId](QDBusPendingCallWatcher* done) {
        QDBusPendingReply<uint> reply = *done;
        done->deleteLater();
        if (reply.isError()) {
            ReportFailure(reply.error().message());
        } else if (number == sent_) {
            noticeId_ = reply.value();
            shown_[noticeId_] = itemId;
        } else {
            Close(reply.value());  // a newer notice was sent before this one's id was known
        }
    });
}

void TrackNotifier::Close(uint id) {
    Retire(id);
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, "CloseNotification");
    call << id;
    auto* watcher = new QDBusPendingCallWatcher(connection_.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
        QDBusPendingReply<> reply = *done;
        done->deleteLater();
        if (reply.isError()) ReportFailure(reply.error().message());
    });
}

void TrackNotifier::Retire(uint id) {
    shown_.erase(id);
    if (std::find(retired_.begin(), retired_.end(), id) != retired_.end()) return;
    retired_.push_back(id);
    if (retired_.size() > kRetiredKept) retired_.pop_front();
}

void TrackNotifier::OnActionInvoked(uint id, const QString& action) {
    bool isNumber = false;
    const int stars = action.toInt(&isNumber);
    if (!isNumber || stars < 1 || stars > 5) {
        return;  // not one of our actions
    }
    if (const auto found = shown_.find(id); found != shown_.end()) {
        onRate_(found->second, stars);
    } else if (std::find(retired_.begin(), retired_.end(), id) != retired_.end()) {
        VORN_LOG(LogLevel::Info) << "TrackNotifier : Rating from notice " << id
                                 << " ignored: that notice was replaced or closed";
    }  // else another program's notice
}

void TrackNotifier::OnNotificationClosed(uint id, uint /*reason*/) {
    if (shown_.count(id) == 0) return;  // another program's, or one we closed ourselves
    Retire(id);
    if (id == noticeId_) noticeId_ = 0;
}

void TrackNotifier::ReportFailure(const QString& what) {
    if (failedOnce_) return;
    failedOnce_ = true;
    VORN_LOG(LogLevel::Info) << "TrackNotifier : Notification server not available, track notices left out: "
                             << what.toStdString();
}

}  // namespace vorn
