#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/AutoResetEvent.h"
#include "player/PlayerUi.h"
#include "player/RatingOutbox.h"
#include "player/ServerRequest.h"
#include "player/UiThread.h"

namespace vorn {

class VornClientEngine;
class VornPlaylist;
class VornPlaylistItem;

// The listening cycle: owns the client engine and the playlist, keeps the current
// item, and decides what plays next, when to ask the server for more, when to ask
// the listener for a rating and when to move on. Server requests run on a worker
// thread of its own, fed through a queue. The window derives from it and
// implements the user-interface operations of PlayerUi.
//
// Threads: the window operations (Play, Pause, Next, Previous, RateItem,
// MediaEnded, DeleteLowRatedMedia, ChangeMediaFolder) run on the UI thread, and so
// does everything that changes the current item: a finished download hands its
// "start playing" over to the UI thread. ConnectToServer runs on the start-up
// thread before the worker sends anything, and again on a thread of the window's
// when the listener names another station; the engine's mutex keeps it apart
// from the worker's requests.
//
// Every rating given goes through the rating outbox (see RatingOutbox) and
// leaves it once sent, several per request. When the station cannot be reached
// (at start or later in the session) the player is offline: the worker sends
// nothing and keeps what the listening cycle wants, while the library goes on
// playing. It looks every few seconds whether the station's port answers (a
// plain TCP connect) and connects again as soon as it does, so whatever waits
// goes out within seconds of the station's return, however long it was away;
// at once when the listener presses play or forward. A listener who pressed
// play and still waits for music when the station returns gets it without
// pressing again.
//
// A class deriving from this one must call Shutdown() first thing in its
// destructor, while its user-interface operations still work: download threads
// may call them until Shutdown has stopped every download.
class VornPlayer : public PlayerUi {
public:
    static constexpr std::int32_t kWantedUnplayed = 4;
    static constexpr std::int32_t kRequestWhenUnplayedAtMost = 2;
    static constexpr std::uint32_t kShutdownWaitMs = 10000;
    static constexpr std::uint32_t kWorkerIdleWaitMs = 1000;
    static constexpr std::size_t kRatingsPerRequest = 50;
    static constexpr std::uint32_t kFirstRetryMs = 5000;
    static constexpr std::uint32_t kLongestRetryMs = 300000;
    // How long one look at the station's port may take.
    static constexpr int kProbeTimeoutMs = 3000;

    // Prepares the media folders, loads the playlist and starts the worker.
    explicit VornPlayer(UiThread& uiThread);
    ~VornPlayer() override;
    VornPlayer(const VornPlayer&) = delete;
    VornPlayer& operator=(const VornPlayer&) = delete;

    // Stops the worker (waiting at most kShutdownWaitMs for a server call in
    // progress, then cancelling it), sends what ratings are still queued within
    // that wait, deletes the engine and then the playlist (which writes "pl.txt").
    // Idempotent.
    void Shutdown();
    // How long Shutdown waits for a server call in progress before cancelling it.
    void SetShutdownWait(std::uint32_t ms) { shutdownWaitMs_ = ms; }

    // Start-up thread. A failure other than a build too old leaves the player
    // offline, connecting again by itself.
    int ConnectToServer(const std::string& host, std::int32_t port);
    // True once connected, until a request or a connect fails.
    bool IsOnline();
    // Offline, the station's port is looked at every firstMs. When it answers
    // but the connect still fails, the pause before the next one (up to a fifth
    // more or less at random) starts at firstMs and doubles after each such
    // failure up to longestMs; a look that finds nobody starts it afresh. The
    // listener's own tries (play, forward) leave this schedule as it was.
    void SetReconnectDelays(std::uint32_t firstMs, std::uint32_t longestMs);
    // Any thread: every server call in progress or to come fails at once. For a
    // window that closes while the start-up thread is still connecting.
    void CancelServerCalls();

    // UI thread.
    bool Play();
    bool Pause();
    bool Next();
    bool Previous();
    bool RateItem(std::int32_t itemId, std::int32_t rating, bool advance);
    bool MediaEnded();
    void DeleteLowRatedMedia();
    bool ChangeMediaFolder(const std::string& newFolder);
    bool HasCurrentItem() const { return currentItem_ != nullptr; }
    VornPlaylistItem* CurrentItem() const { return currentItem_; }
    void SetMediaLoaded(bool loaded) { mediaLoaded_ = loaded; }
    bool IsMediaLoaded() const { return mediaLoaded_; }
    std::int32_t UserId() const { return userId_; }
    VornPlaylist& Playlist() { return *playlist_; }

    // Any thread.
    RatingOutbox& Outbox() { return *outbox_; }

    // PlaylistListener, on download threads.
    void OnItemDownloaded() override;
    void OnDownloadProgress(std::int32_t percent) override;
    void OnDownloadFailed(VornPlaylistItem* item) override;

protected:
    void LogPlayerError(int code, const std::string& text);
    // Called first by the first Shutdown, while the engine and the playlist still
    // exist: a deriving class stops (joins) here every thread of its own that
    // calls into the player, waiting at most waitMs for a server call before
    // cancelling it. Deriving destructors call Shutdown before their own members
    // go, so this is the one place such a thread is sure to end in time.
    virtual void StopOwnThreads(std::uint32_t /*waitMs*/) {}

private:
    enum class Link {
        kNotYet,   // no connect has ended yet (or one is under way): requests are tried
        kOnline,
        kOffline,  // the worker connects again by itself; nothing else is sent
        kRefused,  // this build is too old for the station: nothing is retried
    };

    void RequestRecommendations(std::int32_t typeId);
    // Any thread: playback starts on the UI thread unless something is current
    // there by then (a downloaded or put-up item waits its turn).
    void PlayWhenWaiting();
    // Puts the rating in the outbox and wakes the worker; any thread.
    void Rate(std::int32_t itemId, std::int32_t rating);
    // Registers the listener unless the store has an id; engine result.
    int EnsureUserId();
    void SetLink(Link link);
    // The worker: a look at the station's port and a reconnect when one is due.
    void Reconnect();
    // The worker, just reconnected, with nothing current: the wait goes on
    // (what it wants is asked for) or the welcome is shown.
    void ResumeWaiting();
    // The worker: one request of waiting ratings, tried once more when
    // `retry`; true when one was sent.
    bool SendWaitingRatings(bool retry);
    // The worker: a request failed for good. Offline after having been online.
    void LostStation();
    // The worker, while offline and nothing plays: the time to the next look
    // at the station.
    void ShowOffline();
    // Before linkMutex_'s holder sets retryAt_.
    std::chrono::milliseconds Jittered(std::uint32_t ms);
    void Enqueue(std::unique_ptr<ServerRequest> request, bool wake = true);
    std::unique_ptr<ServerRequest> Dequeue();
    // False (with no current item and a display text naming the folder) while the
    // library's media folder cannot be reached.
    bool MediaFolderUsable();
    // Makes the next item current and asks for more when few are left.
    void ChooseItem(const std::string& waitText);
    // The current item cannot be played: rate it 1, remove it and its file.
    std::unique_ptr<VornPlaylistItem> Reject(VornPlaylistItem* item);
    bool RejectCurrentItem();
    // Loads and starts the current item after Next chose it, skipping (and
    // rejecting) items whose file cannot be loaded.
    bool StartChosenItem();
    void WorkerLoop();
    void Handle(std::unique_ptr<ServerRequest> request, bool retry);

    UiThread& uiThread_;
    // Posted work checks this before touching the player; cleared by Shutdown.
    std::shared_ptr<std::atomic<bool>> alive_;
    std::atomic<bool> mediaLoaded_{true};
    std::unique_ptr<RatingOutbox> outbox_;
    // Set when the outbox should be looked at: a rating was added, a connect or
    // a request succeeded. Cleared when it is empty or sending failed.
    std::atomic<bool> ratingsDue_{true};
    std::atomic<bool> retryNow_{false};
    std::mutex linkMutex_;  // guards the six fields below
    Link link_ = Link::kNotYet;
    int reportedOnline_ = -1;  // what OnConnectionChanged said last: 1, 0, or -1 for nothing yet
    std::string linkHost_;
    std::int32_t linkPort_ = 0;
    std::chrono::steady_clock::time_point retryAt_;  // the next automatic try
    std::uint32_t retryMs_ = kFirstRetryMs;  // the pause after a try whose exchange failed
    std::atomic<std::uint32_t> firstRetryMs_{kFirstRetryMs};
    std::atomic<std::uint32_t> longestRetryMs_{kLongestRetryMs};
    std::int64_t shownRetrySeconds_ = -1;  // worker thread only
    std::atomic<std::int32_t> userId_{0};
    std::unique_ptr<VornClientEngine> engine_;
    // Serialises engine calls: the start-up thread connects while the worker may
    // already hold requests the listener queued. Abort needs no lock.
    std::mutex engineMutex_;
    std::atomic<std::uint32_t> shutdownWaitMs_{kShutdownWaitMs};
    std::atomic<bool> running_{false};
    std::atomic<bool> shuttingDown_{false};
    AutoResetEvent workEvent_;
    AutoResetEvent workerEnded_;
    std::mutex queueMutex_;  // guards queue_; held for one append or removal only
    std::deque<std::unique_ptr<ServerRequest>> queue_;
    // Written on the UI thread only; read anywhere.
    std::atomic<VornPlaylistItem*> currentItem_{nullptr};
    // Play or forward found nothing to play: the listener waits for music to
    // arrive. Written on the UI thread only.
    std::atomic<bool> awaitingMusic_{false};
    std::unique_ptr<VornPlaylist> playlist_;
    std::thread worker_;
};

}  // namespace vorn
