#include "player/VornPlayer.h"

#include <map>
#include <random>

#include "foundation/LogEntry.h"
#include "foundation/RegistryKey.h"
#include "library/MediaFolders.h"
#include "library/VornPlaylist.h"
#include "platform/Paths.h"
#include "server/VornClientEngine.h"

namespace vorn {
namespace {

constexpr const char* kWaitTextPlay = "Please Wait.....Retrieving Media";
constexpr const char* kWaitTextNext = "Please Wait. Retrieving Media";
constexpr const char* kMediaFolderUnavailableText = "Media folder not available: ";
constexpr const char* kWelcomeText = "Welcome to Vorn. Please press the play button to begin.";
constexpr const char* kUpdateNeededText = "Update needed, you are running an old version of Vorn please update";

}  // namespace

VornPlayer::VornPlayer(UiThread& uiThread)
    : uiThread_(uiThread), alive_(std::make_shared<std::atomic<bool>>(true)) {
    const std::string mediaFolder = PrepareMediaFolders();
    playlist_ = std::make_unique<VornPlaylist>(mediaFolder, this);
    outbox_ = std::make_unique<RatingOutbox>();
    running_ = true;
    engine_ = std::make_unique<VornClientEngine>();
    worker_ = std::thread([this] { WorkerLoop(); });
}

VornPlayer::~VornPlayer() { Shutdown(); }

void VornPlayer::Shutdown() {
    if (shuttingDown_.exchange(true)) {
        return;
    }
    StopOwnThreads(shutdownWaitMs_);
    running_ = false;
    workEvent_.Set();
    bool offline = false;
    {
        std::lock_guard lock(linkMutex_);
        offline = link_ == Link::kOffline;
    }
    if (offline) {
        // Nothing can be sent, and a reconnect under way must not hold the exit up.
        engine_->Abort();
    }
    if (!workerEnded_.Wait(shutdownWaitMs_)) {
        // Still inside a slow server call: cancel it rather than delete the engine under it.
        VORN_LOG(LogLevel::Warning) << "VornPlayer : Server call still running at shutdown, cancelling it";
        engine_->Abort();
    }
    if (worker_.joinable()) {
        worker_.join();
    }
    *alive_ = false;
    engine_.reset();
    playlist_.reset();  // stops the downloads and writes "pl.txt"
    currentItem_ = nullptr;
    std::lock_guard lock(queueMutex_);
    queue_.clear();
}

void VornPlayer::LogPlayerError(int code, const std::string& text) {
    VORN_LOG(LogLevel::Warning) << "VornPlayer Error : " << text << " << Error : " << code << " >>";
}

// ---------------------------------------------------------------- start-up thread

int VornPlayer::ConnectToServer(const std::string& host, std::int32_t port) {
    {
        // The worker's own reconnects wait until this one has ended.
        std::lock_guard lock(linkMutex_);
        link_ = Link::kNotYet;
        linkHost_ = host;
        linkPort_ = port;
    }
    SetDisplayText("Connecting                         Connecting");
    int result = 0;
    {
        std::lock_guard lock(engineMutex_);
        result = engine_->Initialise(host, port);
    }
    if (result != kEngineOk && result != kEngineNewerBuild) {
        if (result == kEngineBuildTooOld) {
            SetDisplayText(kUpdateNeededText);
            LogPlayerError(result, kUpdateNeededText);
            SetLink(Link::kRefused);
        } else {
            SetDisplayText(
                "Error connecting to the Vorn server. Please check your internet and firewall settings and restart.");
            LogPlayerError(result, "Error connecting to Vorn server. Please check your internet connection and restart Vorn");
            SetLink(Link::kOffline);
        }
        return result;
    }
    SetDisplayText("          Connected");
    if (const int registered = EnsureUserId(); registered != kEngineOk) {
        SetLink(Link::kOffline);
        return registered;
    }
    SetLink(Link::kOnline);
    SetDisplayText(kWelcomeText);
    return result;
}

int VornPlayer::EnsureUserId() {
    RegistryKey key;
    key.Open(kVornKeyPath);
    if (RegistryValue& stored = key.Value("user_id_0"); stored.Exists()) {
        userId_ = stored.AsInt();
    }
    if (userId_ < 1) {
        std::int32_t newId = userId_;
        int registered = 0;
        {
            std::lock_guard lock(engineMutex_);
            registered = engine_->RegisterUser(newId, {});
        }
        userId_ = newId;
        if (registered != kEngineOk) {
            VORN_LOG(LogLevel::Warning) << "Error getting UserID, error code = " << registered;
            key.Close();
            return registered;
        }
        key.Value("user_id_0").SetInt(newId);
    }
    key.Close();
    return kEngineOk;
}

bool VornPlayer::IsOnline() {
    std::lock_guard lock(linkMutex_);
    return link_ == Link::kOnline;
}

void VornPlayer::SetReconnectDelays(std::uint32_t firstMs, std::uint32_t longestMs) {
    firstRetryMs_ = firstMs;
    longestRetryMs_ = longestMs;
}

std::chrono::milliseconds VornPlayer::Jittered(std::uint32_t ms) {
    // Spread out, so that many listeners cut off together do not all come back at once.
    static thread_local std::minstd_rand random(std::random_device{}());
    std::uniform_real_distribution<double> factor(0.8, 1.2);
    return std::chrono::milliseconds(static_cast<std::int64_t>(ms * factor(random)));
}

void VornPlayer::SetLink(Link link) {
    bool report = false;
    {
        std::lock_guard lock(linkMutex_);
        if (link == Link::kOnline || link == Link::kOffline) {
            const int online = link == Link::kOnline ? 1 : 0;
            report = online != reportedOnline_;
            reportedOnline_ = online;
        }
        if (link == Link::kOffline && link_ != Link::kOffline) {
            retryNow_ = false;
            retryMs_ = firstRetryMs_;
            retryAt_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(firstRetryMs_.load());
        }
        link_ = link;
    }
    if (link == Link::kOnline) {
        ratingsDue_ = true;
        workEvent_.Set();
    }
    if (report) {
        OnConnectionChanged(link == Link::kOnline);
    }
}

void VornPlayer::CancelServerCalls() { engine_->Abort(); }

// ---------------------------------------------------------------- UI thread

bool VornPlayer::MediaFolderUsable() {
    if (playlist_->MediaFolderAvailable()) {
        return true;
    }
    // Nothing plays and nothing is rejected or downloaded: every file would look
    // missing, and the library must be whole when the drive or share returns.
    currentItem_ = nullptr;
    SetDisplayText(std::string(kMediaFolderUnavailableText) + playlist_->MediaFolder());
    return false;
}

void VornPlayer::ChooseItem(const std::string& waitText) {
    if (!MediaFolderUsable()) {
        return;
    }
    currentItem_ = playlist_->NextItem();
    awaitingMusic_ = currentItem_ == nullptr;
    if (playlist_->UnplayedCount(false) <= kRequestWhenUnplayedAtMost) {
        RequestRecommendations(0);
        if (currentItem_ == nullptr) {
            SetDisplayText(waitText);
        }
    }
}

bool VornPlayer::Play() {
    retryNow_ = true;  // a listener who wants to play is worth a reconnect at once
    workEvent_.Set();
    if (currentItem_ == nullptr) {
        ChooseItem(kWaitTextPlay);
        if (currentItem_ != nullptr && !SetMedia(currentItem_)) {
            return RejectCurrentItem();
        }
    }
    VornPlaylistItem* item = currentItem_;
    if (item == nullptr) {
        return false;
    }
    item->SetPlayState(0);
    StartPlayback();
    SetDisplayText(item->DisplayName());
    return true;
}

bool VornPlayer::Pause() {
    VornPlaylistItem* item = currentItem_;
    if (item == nullptr) {
        return false;
    }
    item->SetPlayState(1);
    return PausePlayback();
}

bool VornPlayer::Next() {
    retryNow_ = true;
    workEvent_.Set();
    VornPlaylistItem* item = currentItem_;
    if (item != nullptr && item->Rating() == 0) {
        AskForRating();  // an unrated item cannot be skipped
        return false;
    }
    if (item != nullptr) {
        PausePlayback();
    }
    ChooseItem(kWaitTextNext);
    return StartChosenItem();
}

bool VornPlayer::StartChosenItem() {
    // Unloadable files are rejected one after another in a loop, so a library
    // full of broken files cannot exhaust the stack.
    std::unique_ptr<VornPlaylistItem> rejected;
    for (;;) {
        VornPlaylistItem* item = currentItem_;
        if (item == nullptr) {
            return false;
        }
        if (SetMedia(item)) {
            SetDisplayText(item->DisplayName());
            item->SetPlayState(0);
            StartPlayback();
            return true;
        }
        if (!MediaFolderUsable()) {
            return false;
        }
        rejected = Reject(item);
        PausePlayback();
        ChooseItem(kWaitTextNext);
    }
}

bool VornPlayer::Previous() {
    PausePlayback();
    for (;;) {
        currentItem_ = playlist_->PreviousItem();
        VornPlaylistItem* item = currentItem_;
        if (item == nullptr) {
            return false;
        }
        if (SetMedia(item)) {  // an unloadable item is stepped over, further back
            SetDisplayText(item->DisplayName());
            item->SetPlayState(0);
            return StartPlayback();
        }
    }
}

std::unique_ptr<VornPlaylistItem> VornPlayer::Reject(VornPlaylistItem* item) {
    item->SetRating(1);
    const std::int32_t itemId = item->ItemId();
    std::unique_ptr<VornPlaylistItem> removed = playlist_->RemoveItem(item);
    Rate(itemId, 1);
    return removed;
}

bool VornPlayer::RejectCurrentItem() {
    VornPlaylistItem* item = currentItem_;
    if (item == nullptr || !MediaFolderUsable()) {
        return false;
    }
    // The item stays alive until the next one is chosen.
    std::unique_ptr<VornPlaylistItem> rejected = Reject(item);
    PausePlayback();
    ChooseItem(kWaitTextNext);
    StartChosenItem();
    return true;
}

bool VornPlayer::RateItem(std::int32_t itemId, std::int32_t rating, bool advance) {
    Rate(itemId, rating);
    playlist_->MarkChanged();  // the window set the item's rating
    VornPlaylistItem* item = currentItem_;
    if (advance && item != nullptr && (rating < 3 || item->PlayState() == 2)) {
        Next();
    }
    return true;
}

bool VornPlayer::MediaEnded() {
    VornPlaylistItem* item = currentItem_;
    if (item != nullptr && item->Rating() != 0) {
        item->SetPlayState(2);
        return Next();
    }
    if (item != nullptr) {
        item->SetPlayState(2);
    }
    AskForRating();
    return false;
}

void VornPlayer::DeleteLowRatedMedia() {
    // Bounded: each Next hands out another item, and recycled ones are not due again.
    for (std::int32_t guard = playlist_->UnplayedCount(true) + 1; guard > 0; --guard) {
        VornPlaylistItem* item = currentItem_;
        if (item == nullptr || (item->Rating() != 1 && item->Rating() != 2)) {
            break;
        }
        Next();
    }
    VornPlaylistItem* item = currentItem_;
    if (item != nullptr && (item->Rating() == 1 || item->Rating() == 2)) {
        SetMedia(nullptr);  // nothing else to move to: it must not stay current while purged
        currentItem_ = nullptr;
        awaitingMusic_ = false;
    }
    playlist_->PurgeBelow(3);
}

bool VornPlayer::ChangeMediaFolder(const std::string& requested) {
    const std::string newFolder = WithTrailingSeparator(requested);
    if (newFolder == playlist_->MediaFolder()) {
        return true;
    }
    SetMedia(nullptr);
    SetDisplayText("Vorn is moving your music to its new location", " ");
    const bool ok = playlist_->MoveMediaFolder(newFolder);
    // The current item may have been dropped by the move; if it is still there
    // its file has a new path, so load it again and "play" continues it.
    VornPlaylistItem* item = currentItem_;
    if (item != nullptr) {
        if (playlist_->CurrentItem() == item) {
            SetMedia(item);
        } else {
            currentItem_ = nullptr;
        }
    }
    awaitingMusic_ = false;
    SetDisplayText("Press play to continue", " ");
    return ok;
}

// ---------------------------------------------------------------- download threads

void VornPlayer::OnItemDownloaded() { PlayWhenWaiting(); }

void VornPlayer::PlayWhenWaiting() {
    if (shuttingDown_) {
        return;
    }
    // The playlist's lock may be held here: never wait for the UI thread. Whether
    // playback starts is decided there, where the current item changes.
    uiThread_.Post([this, alive = alive_] {
        if (!*alive || currentItem_ != nullptr) {
            return;
        }
        VORN_LOG(LogLevel::Fine) << "FINE : Playing Next Item";
        Play();
    });
}

void VornPlayer::OnDownloadProgress(std::int32_t percent) {
    if (shuttingDown_ || currentItem_ != nullptr) {
        return;
    }
    SetDisplayText(
        "Vorn is downloading new media for you to rate. The media will start playing when it has finished downloading",
        std::to_string(percent) + " Percent Complete");
}

void VornPlayer::OnDownloadFailed(VornPlaylistItem* item) {
    VORN_LOG(LogLevel::Warning) << "Sent Rating of 1 for failed download itemID:" << item->ItemId();
    Rate(item->ItemId(), 1);
}

// ---------------------------------------------------------------- worker thread

void VornPlayer::RequestRecommendations(std::int32_t typeId) {
    {
        // One waiting request is enough: it asks for what is missing when it is sent.
        std::lock_guard lock(queueMutex_);
        for (const auto& queued : queue_) {
            if (queued->Type() == ServerRequest::kRecommendationType) return;
        }
    }
    Enqueue(std::make_unique<RecommendationRequest>(typeId));
}

void VornPlayer::Rate(std::int32_t itemId, std::int32_t rating) {
    outbox_->Add(itemId, rating);  // on disk before anything else happens to it
    ratingsDue_ = true;
    workEvent_.Set();
}

void VornPlayer::Enqueue(std::unique_ptr<ServerRequest> request, bool wake) {
    {
        std::lock_guard lock(queueMutex_);
        queue_.push_back(std::move(request));
    }
    if (wake) {
        workEvent_.Set();
    }
}

std::unique_ptr<ServerRequest> VornPlayer::Dequeue() {
    std::lock_guard lock(queueMutex_);
    if (queue_.empty()) {
        return nullptr;
    }
    std::unique_ptr<ServerRequest> request = std::move(queue_.front());
    queue_.pop_front();
    return request;
}

void VornPlayer::WorkerLoop() {
    while (running_) {
        Reconnect();
        if (SendWaitingRatings(true)) {
            continue;
        }
        std::unique_ptr<ServerRequest> request;
        {
            std::lock_guard lock(linkMutex_);
            if (link_ != Link::kOffline) request = Dequeue();
        }
        if (request) {
            Handle(std::move(request), true);
            continue;
        }
        ShowOffline();
        workEvent_.Wait(kWorkerIdleWaitMs);
    }
    // Waiting ratings are sent before leaving, within the shutdown wait (which
    // cancels the engine if it runs out); what is not sent stays in the outbox
    // for the next start. Recommendations are not needed now.
    ratingsDue_ = true;
    while (SendWaitingRatings(false)) {
    }
    workerEnded_.Set();
}

void VornPlayer::Reconnect() {
    std::string host;
    std::int32_t port = 0;
    bool forced = false;
    {
        std::lock_guard lock(linkMutex_);
        if (link_ != Link::kOffline) return;
        forced = retryNow_.exchange(false);
        if (!forced && std::chrono::steady_clock::now() < retryAt_) return;
        host = linkHost_;
        port = linkPort_;
    }
    const auto started = std::chrono::steady_clock::now();
    int result = 0;
    {
        std::lock_guard lock(engineMutex_);
        {
            // A connect of the start-up thread or to another station may have ended meanwhile.
            std::lock_guard link(linkMutex_);
            if (link_ != Link::kOffline || linkHost_ != host || linkPort_ != port) return;
        }
        // The listener's own tries go straight to the key exchange; the
        // automatic ones first look whether anything answers at all.
        if (!forced && engine_->Probe(host, port, kProbeTimeoutMs) != kEngineOk) {
            // The station is away: look again after the first pause, and try at
            // once whenever it answers, however long it was away.
            std::lock_guard link(linkMutex_);
            retryMs_ = firstRetryMs_;
            retryAt_ = started + std::chrono::milliseconds(firstRetryMs_.load());
            return;
        }
        VORN_LOG(LogLevel::Info) << "VornPlayer : Connecting again to " << host << ":" << port;
        result = engine_->Initialise(host, port);
    }
    if (result == kEngineOk || result == kEngineNewerBuild) {
        result = EnsureUserId();
    }
    if (result == kEngineOk) {
        VORN_LOG(LogLevel::Info) << "Reconnected";
        SetLink(Link::kOnline);
        ResumeWaiting();
        shownRetrySeconds_ = -1;
        return;
    }
    if (result == kEngineBuildTooOld) {
        SetDisplayText(kUpdateNeededText);
        LogPlayerError(result, kUpdateNeededText);
        SetLink(Link::kRefused);
        return;
    }
    if (forced) {
        return;  // the listener's impatience does not put the automatic tries off
    }
    // Something answers but the exchange fails (a station starting or
    // overloaded, a proxy whose station is away): a growing pause spares it.
    std::lock_guard lock(linkMutex_);
    retryAt_ = std::chrono::steady_clock::now() + Jittered(retryMs_);
    retryMs_ = std::min(retryMs_ * 2, longestRetryMs_.load());
}

void VornPlayer::ResumeWaiting() {
    if (currentItem_ != nullptr) {
        return;
    }
    // A listener who pressed play and still waits goes on waiting: what the
    // outage cut short (its downloads failed) is asked for again, and plays by
    // itself once it has arrived.
    if (awaitingMusic_ && playlist_->UnplayedCount(false) <= kRequestWhenUnplayedAtMost) {
        RequestRecommendations(0);
    }
    bool wanted = false;
    {
        std::lock_guard lock(queueMutex_);
        wanted = !queue_.empty();
    }
    SetDisplayText(wanted ? std::string() : kWelcomeText, " ");
}

void VornPlayer::ShowOffline() {
    std::int64_t seconds = -1;
    {
        std::lock_guard lock(linkMutex_);
        if (link_ != Link::kOffline || currentItem_ != nullptr) {
            shownRetrySeconds_ = -1;
            return;
        }
        const auto left = retryAt_ - std::chrono::steady_clock::now();
        seconds = std::max<std::int64_t>(0, (std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 999) / 1000);
    }
    if (seconds != shownRetrySeconds_) {
        shownRetrySeconds_ = seconds;
        SetDisplayText("", "Offline - retrying in " + std::to_string(seconds) + " s");
    }
}

bool VornPlayer::SendWaitingRatings(bool retry) {
    {
        std::lock_guard lock(linkMutex_);
        // Kept for later while the station cannot take them (gone, or this build refused).
        if (!ratingsDue_ || link_ == Link::kOffline || link_ == Link::kRefused) return false;
    }
    const std::vector<RatingOutbox::Entry> batch = outbox_->Oldest(kRatingsPerRequest);
    if (batch.empty()) {
        ratingsDue_ = false;
        return false;
    }
    std::map<std::int32_t, std::int32_t> ratings;
    for (const RatingOutbox::Entry& entry : batch) {
        ratings[entry.itemId] = entry.stars;
    }
    int code = 0;
    for (int attempt = retry ? 2 : 1; attempt > 0; --attempt) {
        std::lock_guard lock(engineMutex_);
        const std::int32_t userId = userId_;
        if (userId < 1 && engine_->IsReady()) {
            // A connect under way has not yet read or registered the listener's
            // id: ratings sent now would name no listener. Sent once it has.
            return false;
        }
        code = engine_->SubmitRatings(userId, ratings);
        if (code == kEngineOk) break;
    }
    if (code == kEngineOk) {
        outbox_->Acknowledge(batch);
        return true;
    }
    ratingsDue_ = false;  // until a connect, a success or another rating
    LogPlayerError(code, "Error Getting Ratings");
    LostStation();
    return false;
}

void VornPlayer::LostStation() {
    {
        std::lock_guard lock(linkMutex_);
        if (link_ != Link::kOnline || !running_) return;
    }
    VORN_LOG(LogLevel::Warning) << "VornPlayer : Station lost, connecting again in the background";
    SetLink(Link::kOffline);
}

void VornPlayer::Handle(std::unique_ptr<ServerRequest> request, bool retry) {
    // Ratings go through the outbox; the queue holds recommendation requests.
    const std::int32_t type = request->Type();
    if (type != ServerRequest::kRecommendationType) {
        VORN_LOG(LogLevel::Warning) << "Unknown ServerRequest Type : " << type;
        return;
    }
    --request->retries;
    std::int32_t asked = kWantedUnplayed - playlist_->UnplayedCount(false);
    VornClientEngine::RecommendationList received;
    int code = 0;
    {
        const auto& recommendation = static_cast<const RecommendationRequest&>(*request);
        std::lock_guard lock(engineMutex_);
        code = engine_->GetRecommendations(userId_, recommendation.typeId, asked, received);
    }
    if (code != kEngineOk) {
        if (retry && request->retries > 0) {
            Enqueue(std::move(request), false);  // found again on the next pass, without delay
            return;
        }
        LogPlayerError(code, "Error Getting Recommendations");
        if (IsOnline()) {
            // Still wanted: sent once the station is back.
            request->retries = 2;
            Enqueue(std::move(request), false);
            LostStation();
        }
        return;
    }
    ratingsDue_ = true;
    {
        VORN_LOG(LogLevel::Info) << "VornPlayer : " << received.size() << "Recommendations Received";
        // Each new item starts a download thread: a server that sends more than
        // was asked for must not be able to start any number of them. Every record
        // is still checked for an item already rated, whose rating is sent again.
        // An existing item may be deleted meanwhile (a failed download, a purge),
        // so only its id and its rating read under the playlist's lock are used.
        // A held item the listener likes is put up by the playlist to play again,
        // and starts at once for a listener who waits, as a download would.
        std::int32_t started = 0;
        bool putUp = false;
        for (std::unique_ptr<Recommendation>& record : received) {
            const std::int32_t itemId = record->ItemId();
            VORN_LOG(LogLevel::Fine) << "FINE : VornPlayer : Rec ID = " << itemId << " URL = "
                                     << record->MediaUrl().Url();
            std::int32_t rating = 0;
            bool upNext = false;
            if (started >= asked) {
                if (!playlist_->FindRating(itemId, rating)) {
                    VORN_LOG(LogLevel::Warning) << "VornPlayer : More recommendations than the " << asked
                                                << " asked for; ignoring item " << itemId;
                    continue;
                }
            } else if (playlist_->AddRecommendation(record, &rating, &upNext) == nullptr) {
                ++started;
                continue;
            }
            putUp = putUp || upNext;
            if (rating > 0) {
                VORN_LOG(LogLevel::Warning) << "Received rated item in Rec request " << itemId << " " << rating;
                Rate(itemId, rating);
            }
        }
        if (putUp) {
            PlayWhenWaiting();
        }
    }
}

}  // namespace vorn
