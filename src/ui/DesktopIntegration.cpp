#include "ui/DesktopIntegration.h"

#include <QDBusConnection>

#include <cmath>

#include "desktop/MprisService.h"
#include "desktop/PortalShortcuts.h"
#include "desktop/TrackNotifier.h"
#include "foundation/LogEntry.h"
#include "foundation/Preferences.h"
#include "library/VornPlaylistItem.h"
#include "server/Recommendation.h"
#include "ui/CSkinButton.h"
#include "ui/CVornUIDlgDirectShow.h"
#include "ui/MediaGraph.h"
#include "ui/MenuCommands.h"

namespace vorn {
namespace {

struct PortalKey {
    const char* id;
    const char* description;
    const char* trigger;
    int hotKey;
};

// The window's hot keys by the names the portal shows the listener.
constexpr PortalKey kPortalKeys[] = {
    {"play-pause", "Play or pause", "ALT+w", HOTKEY_PLAY},
    {"next", "Next track", "ALT+e", HOTKEY_NEXT},
    {"previous", "Previous track", "ALT+q", HOTKEY_PREVIOUS},
    {"rate-1", "Rate the track one star", "ALT+1", HOTKEY_RATE_1},
    {"rate-2", "Rate the track two stars", "ALT+2", HOTKEY_RATE_1 + 1},
    {"rate-3", "Rate the track three stars", "ALT+3", HOTKEY_RATE_1 + 2},
    {"rate-4", "Rate the track four stars", "ALT+4", HOTKEY_RATE_1 + 3},
    {"rate-5", "Rate the track five stars", "ALT+5", HOTKEY_RATE_1 + 4},
    {"media-play", "Media key: play or pause", "XF86AudioPlay", HOTKEY_MEDIA_PLAY},
    {"media-next", "Media key: next track", "XF86AudioNext", HOTKEY_MEDIA_NEXT},
    {"media-previous", "Media key: previous track", "XF86AudioPrev", HOTKEY_MEDIA_PREVIOUS},
};

}  // namespace

DesktopIntegration::DesktopIntegration(CVornUIDlgDirectShow& window) : window_(window) {}

DesktopIntegration::~DesktopIntegration() = default;

void DesktopIntegration::Start() {
    // Each part follows its switch; one that could not start (no bus) is tried
    // again only once its switch has gone off and on, not at every OK.
    const Preferences& preferences = Preferences::Global();
    if (const bool on = preferences.GetMediaControls(); on != mprisWanted_) {
        mprisWanted_ = on;
        mpris_.reset();
        if (on) {
            mpris_ = std::make_unique<MprisService>(*this, QDBusConnection::sessionBus());
            if (!mpris_->Start()) mpris_.reset();
        }
    }
    if (const bool on = preferences.GetTrackNotices(); on != noticesWanted_) {
        noticesWanted_ = on;
        notifier_.reset();
        if (on) {
            notifier_ = std::make_unique<TrackNotifier>(
                QDBusConnection::sessionBus(),
                [this](std::int32_t itemId, std::int32_t stars) { RateFromNotice(itemId, stars); });
            if (!notifier_->Start()) notifier_.reset();
        }
    }
    if (!portal_) {
        std::vector<PortalShortcuts::Shortcut> shortcuts;
        for (const PortalKey& key : kPortalKeys) shortcuts.push_back({key.id, key.description, key.trigger});
        portal_ = std::make_unique<PortalShortcuts>(QDBusConnection::sessionBus(), std::move(shortcuts),
                                                    [this](const std::string& id) {
                                                        for (const PortalKey& key : kPortalKeys) {
                                                            if (id == key.id) window_.OnHotKey(key.hotKey);
                                                        }
                                                    });
        // Once the portal has answered, the keys move to it.
        portal_->Probe([this](bool available) {
            if (available) window_.ApplyHotKeys();
        });
    }
}

bool DesktopIntegration::PortalKeys(bool on) {
    if (!portal_ || !portal_->IsAvailable()) return false;
    if (on) {
        portal_->Bind();
    } else {
        portal_->Unbind();
    }
    return true;
}

void DesktopIntegration::RateFromNotice(std::int32_t itemId, std::int32_t stars) {
    const std::optional<TrackInfo> track = CurrentTrack();
    if (!track || track->itemId != itemId) {
        VORN_LOG(LogLevel::Info) << "DesktopIntegration : Rating from a notice for item " << itemId
                                 << " ignored: it no longer plays";
        return;
    }
    Rate(stars);
}

void DesktopIntegration::PlayerChanged() {
    if (mpris_) mpris_->PlayerChanged();
    const std::optional<TrackInfo> track = CurrentTrack();
    // A notice for each new item, not for a resume or a reload of the same one.
    if (track && track->itemId != noticedItem_) {
        noticedItem_ = track->itemId;
        if (notifier_) notifier_->TrackStarted(*track);
    }
}

void DesktopIntegration::RatingWanted() {
    const std::optional<TrackInfo> track = CurrentTrack();
    if (notifier_ && track) notifier_->RatingWanted(*track);
}

PlayerControl::Status DesktopIntegration::PlaybackStatus() {
    const MediaGraph* graph = window_.Graph();
    if (graph == nullptr || window_.CurrentItem() == nullptr) return Status::kStopped;
    switch (graph->State()) {
        case MediaGraph::kRunning: return Status::kPlaying;
        case MediaGraph::kPaused: return Status::kPaused;
        default: return Status::kStopped;
    }
}

std::optional<TrackInfo> DesktopIntegration::CurrentTrack() {
    const VornPlaylistItem* item = window_.CurrentItem();
    if (item == nullptr) return std::nullopt;
    const Recommendation& details = item->GetRecommendation();
    TrackInfo track;
    track.itemId = item->ItemId();
    track.lengthUs = std::llround(window_.DurationSeconds() * 1e6);
    track.title = details.Detail("Title");
    track.artist = details.Detail("Artist");
    track.album = details.Detail("Album");
    track.genre = details.Detail("Genre");
    track.path = item->FullPath();
    track.source = item->SourceUrl();
    track.stars = item->Rating();
    track.artPath = item->ArtPath();
    return track;
}

std::int64_t DesktopIntegration::PositionUs() { return std::llround(window_.PositionSeconds() * 1e6); }

void DesktopIntegration::Play() {
    if (window_.CurrentItem() != nullptr && PlaybackStatus() != Status::kPlaying) window_.OnPlayButton(CSkinButton::kCodeClick);
}

void DesktopIntegration::Pause() {
    if (window_.CurrentItem() != nullptr && PlaybackStatus() == Status::kPlaying) window_.OnPlayButton(CSkinButton::kCodeClick);
}

void DesktopIntegration::PlayPause() {
    if (window_.CurrentItem() != nullptr) window_.OnPlayButton(CSkinButton::kCodeClick);
}

void DesktopIntegration::Next() {
    if (window_.CurrentItem() != nullptr) window_.OnForwardButton(CSkinButton::kCodeClick);
}

void DesktopIntegration::Previous() {
    if (window_.CurrentItem() != nullptr) window_.OnBackButton(CSkinButton::kCodeClick);
}

void DesktopIntegration::SeekToUs(std::int64_t positionUs) {
    if (MediaGraph* graph = window_.Graph(); graph != nullptr && window_.CurrentItem() != nullptr) {
        graph->SeekToSeconds(static_cast<double>(positionUs) / 1e6);
    }
}

void DesktopIntegration::Rate(std::int32_t stars) {
    if (window_.CurrentItem() != nullptr) window_.OnRate(stars);
}

void DesktopIntegration::Quit() { window_.OnCommand(ID_EXIT); }

void DesktopIntegration::Raise() { window_.ShowFromDesktop(); }

}  // namespace vorn
