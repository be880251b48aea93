#include "player/VornPlayer.h"

#include <map>

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

}  // namespace

VornPlayer::VornPlayer(UiThread& uiThread)
    : uiThread_(uiThread), alive_(std::make_shared<std::atomic<bool>>(true)) {
    const std::string mediaFolder = PrepareMediaFolders();
    playlist_ = std::make_unique<VornPlaylist>(mediaFolder, this);
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
    SetDisplayText("Connecting                         Connecting");
    int result = 0;
    {
        std::lock_guard lock(engineMutex_);
        result = engine_->Initialise(host, port);
    }
    if (result != kEngineOk && result != kEngineNewerBuild) {
        if (result == kEngineBuildTooOld) {
            const std::string text = "Update needed, you are running an old version of Vorn please update";
            SetDisplayText(text);
            LogPlayerError(result, text);
        } else {
            SetDisplayText(
                "Error connecting to the Vorn server. Please check your internet and firewall settings and restart.");
            LogPlayerError(result, "Error connecting to Vorn server. Please check your internet connection and restart Vorn");
        }
        return result;
    }
    SetDisplayText("          Connected");

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
    SetDisplayText("Welcome to Vorn. Please press the play button to begin.");
    return result;
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
    if (playlist_->UnplayedCount(false) <= kRequestWhenUnplayedAtMost) {
        RequestRecommendations(0);
        if (currentItem_ == nullptr) {
            SetDisplayText(waitText);
        }
    }
}

bool VornPlayer::Play() {
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
    Enqueue(std::make_unique<RatingRequest>(itemId, 1));
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
    Enqueue(std::make_unique<RatingRequest>(itemId, rating));
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
    SetDisplayText("Press play to continue", " ");
    return ok;
}

// ---------------------------------------------------------------- download threads

void VornPlayer::OnItemDownloaded() {
    if (shuttingDown_) {
        return;
    }
    // The playlist's lock is held here: never wait for the UI thread. Whether
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
    Enqueue(std::make_unique<RatingRequest>(item->ItemId(), 1));
}

// ---------------------------------------------------------------- worker thread

void VornPlayer::RequestRecommendations(std::int32_t typeId) {
    Enqueue(std::make_unique<RecommendationRequest>(typeId));
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
        std::unique_ptr<ServerRequest> request = Dequeue();
        if (!request) {
            workEvent_.Wait(kWorkerIdleWaitMs);
            continue;
        }
        Handle(std::move(request), true);
    }
    // Ratings the listener gave are sent before leaving, within the shutdown wait
    // (which cancels the engine if it runs out); recommendations are not needed now.
    while (std::unique_ptr<ServerRequest> request = Dequeue()) {
        if (request->Type() == ServerRequest::kRatingType) {
            Handle(std::move(request), false);
        }
    }
    workerEnded_.Set();
}

void VornPlayer::Handle(std::unique_ptr<ServerRequest> request, bool retry) {
    const std::int32_t type = request->Type();
    if (type != ServerRequest::kRatingType && type != ServerRequest::kRecommendationType) {
        VORN_LOG(LogLevel::Warning) << "Unknown ServerRequest Type : " << type;
        return;
    }
    --request->retries;
    int code = 0;
    std::int32_t asked = 0;
    VornClientEngine::RecommendationList received;
    if (type == ServerRequest::kRatingType) {
        const auto& rating = static_cast<const RatingRequest&>(*request);
        std::lock_guard lock(engineMutex_);
        code = engine_->SubmitRatings(userId_, {{rating.itemId, rating.rating}});
    } else {
        const auto& recommendation = static_cast<const RecommendationRequest&>(*request);
        asked = kWantedUnplayed - playlist_->UnplayedCount(false);
        std::lock_guard lock(engineMutex_);
        code = engine_->GetRecommendations(userId_, recommendation.typeId, asked, received);
    }
    if (code != kEngineOk) {
        if (retry && request->retries > 0) {
            Enqueue(std::move(request), false);  // found again on the next pass, without delay
        } else {
            LogPlayerError(code, type == ServerRequest::kRatingType ? "Error Getting Ratings"
                                                                    : "Error Getting Recommendations");
        }
        return;
    }
    if (type == ServerRequest::kRecommendationType) {
        VORN_LOG(LogLevel::Info) << "VornPlayer : " << received.size() << "Recommendations Received";
        // Each new item starts a download thread: a server that sends more than
        // was asked for must not be able to start any number of them. Every record
        // is still checked for an item already rated, whose rating is sent again.
        // An existing item may be deleted meanwhile (a failed download, a purge),
        // so only its id and its rating read under the playlist's lock are used.
        std::int32_t started = 0;
        for (std::unique_ptr<Recommendation>& record : received) {
            const std::int32_t itemId = record->ItemId();
            VORN_LOG(LogLevel::Fine) << "FINE : VornPlayer : Rec ID = " << itemId << " URL = "
                                     << record->MediaUrl().Url();
            std::int32_t rating = 0;
            if (started >= asked) {
                if (!playlist_->FindRating(itemId, rating)) {
                    VORN_LOG(LogLevel::Warning) << "VornPlayer : More recommendations than the " << asked
                                                << " asked for; ignoring item " << itemId;
                    continue;
                }
            } else if (playlist_->AddRecommendation(record, &rating) == nullptr) {
                ++started;
                continue;
            }
            if (rating > 0) {
                VORN_LOG(LogLevel::Warning) << "Received rated item in Rec request " << itemId << " " << rating;
                Enqueue(std::make_unique<RatingRequest>(itemId, rating));
            }
        }
    }
}

}  // namespace vorn
