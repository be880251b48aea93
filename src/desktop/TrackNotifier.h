#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>

#include "desktop/PlayerControl.h"

namespace vorn {

// A desktop notice for each new track through the notification server
// (org.freedesktop.Notifications), with the track's picture where it has one
// and one action per star where the server offers actions: choosing one rates
// the track the notice showed, if it still plays. A notice asking for the
// rating at the end of an unrated track stays until it is answered. Each notice
// takes the place of the one before.
//
// A star pressed on a notice that has since made way for another (or closed)
// must never rate what the new one shows. A notice the server replaces keeps
// its id, so a late press could not be told from a press on the replacement;
// instead the old notice is closed and a new one, with an id of its own, is
// opened, and a press counts only while its notice is still on screen.
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
    void OnNotificationClosed(uint id, uint reason);

private:
    static constexpr std::size_t kRetiredKept = 32;

    void Notify(const TrackInfo& track, const QString& body, int expireMs);
    // Asks the server to close one of ours; a press on it no longer counts.
    void Close(uint id);
    void Retire(uint id);
    void ReportFailure(const QString& what);

    QDBusConnection connection_;
    RateHandler onRate_;
    bool actions_ = false;     // the server lists "actions"
    bool failedOnce_ = false;  // the one log line of a failing server was written
    uint noticeId_ = 0;        // the server's id of the notice shown last; 0 before its reply
    std::map<uint, std::int32_t> shown_;  // our notices on screen: id -> the item each shows
    std::deque<uint> retired_;  // our latest notices gone from the screen, so a late press is known as ours
    std::uint64_t sent_ = 0;   // notices sent; one whose reply comes after a newer one was sent is closed
};

}  // namespace vorn
