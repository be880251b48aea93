#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>

#include "desktop/PlayerControl.h"

namespace vorn {

// A desktop notice for each new track through the notification server
// (org.freedesktop.Notifications), with one action per star where the server
// offers actions: choosing one rates the track the notice was for, if it still
// plays. A notice asking for the rating at the end of an unrated track stays
// until it is answered. Each notice replaces the one before.
//
// Nothing here waits: every call is sent without blocking and given up after a
// second. A server that is missing, slow or failing costs one log line.
//
// Window thread only.
class TrackNotifier : public QObject {
    Q_OBJECT

public:
    static constexpr const char* kService = "org.freedesktop.Notifications";
    static constexpr const char* kPath = "/org/freedesktop/Notifications";
    static constexpr const char* kAppName = "Vorn Custom Radio";
    static constexpr const char* kRateText = "Rate this track to continue";
    static constexpr int kCallTimeoutMs = 1000;

    // Rates the item with that id, if it is still the current one.
    using RateHandler = std::function<void(std::int32_t itemId, std::int32_t stars)>;

    TrackNotifier(QDBusConnection connection, RateHandler onRate);
    ~TrackNotifier() override;

    // Asks the server what it can do. False, with one log line, without a bus.
    bool Start();
    void TrackStarted(const TrackInfo& track);
    void RatingWanted(const TrackInfo& track);

private slots:
    void OnActionInvoked(uint id, const QString& action);

private:
    void Notify(const TrackInfo& track, const QString& body, int expireMs);
    void ReportFailure(const QString& what);

    QDBusConnection connection_;
    RateHandler onRate_;
    bool actions_ = false;     // the server lists "actions"
    bool failedOnce_ = false;  // the one log line of a failing server was written
    uint noticeId_ = 0;        // the server's id of the notice shown last
    std::int32_t noticeItem_ = 0;  // the item that notice is about
    std::uint64_t sent_ = 0;   // notices sent; a late reply to an older one is ignored
};

}  // namespace vorn
