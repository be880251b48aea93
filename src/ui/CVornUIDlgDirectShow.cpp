#include "ui/CVornUIDlgDirectShow.h"

#include "foundation/LogEntry.h"
#include "foundation/Preferences.h"
#include "library/VornPlaylistItem.h"
#include "ui/CSkinButton.h"
#include "ui/CVNDisplayControl.h"
#include "ui/DesktopIntegration.h"
#include "ui/MediaGraph.h"

namespace vorn {

CVornUIDlgDirectShow::CVornUIDlgDirectShow(UiThread& uiThread) : CVornUIDlg(uiThread) {}

CVornUIDlgDirectShow::~CVornUIDlgDirectShow() {
    // The player goes first (its threads may still use the window), then the media.
    Shutdown();
    desktop_.reset();
    KillTimer(TIMER_MEDIA_POLL);
    KillTimer(TIMER_DISPLAY_SCROLL);
    if (graph_) {
        graph_->Release();
        graph_.reset();
    }
}

void CVornUIDlgDirectShow::OnInitDialog() {
    CVornUIDlg::OnInitDialog();
    graph_ = std::make_unique<MediaGraph>();
    graph_->SetLevelling(Preferences::Global().GetLevelling());
    SetTimer(TIMER_DISPLAY_SCROLL, TIMER_DISPLAY_SCROLL_MS);
    SetTimer(TIMER_MEDIA_POLL, TIMER_MEDIA_POLL_MS);
    desktop_ = std::make_unique<DesktopIntegration>(*this);
    desktop_->Start();
}

void CVornUIDlgDirectShow::OnRatingChanged() {
    if (desktop_) desktop_->PlayerChanged();
}

bool CVornUIDlgDirectShow::RegisterDesktopKeys(bool on) { return desktop_ && desktop_->PortalKeys(on); }

void CVornUIDlgDirectShow::OnRatingWanted() {
    if (desktop_) desktop_->RatingWanted();
}

void CVornUIDlgDirectShow::OnPreferencesApplied() {
    if (desktop_) desktop_->Start();
    // On the track playing: the listener who switches levelling hears the difference.
    if (graph_) graph_->SetLevelling(Preferences::Global().GetLevelling());
}

bool CVornUIDlgDirectShow::SetMedia(VornPlaylistItem* item) {
    mediaGainDb_ = item != nullptr ? item->GainDb() : std::nullopt;
    return CVornUIDlg::SetMedia(item);
}

double CVornUIDlgDirectShow::PositionSeconds() {
    double seconds = 0.0;
    if (graph_ && graph_->GetPosition(seconds) == 0) lastPosition_ = seconds;
    return lastPosition_;
}

double CVornUIDlgDirectShow::DurationSeconds() {
    double seconds = 0.0;
    if (graph_ && graph_->GetDuration(seconds) == 0) lastDuration_ = seconds;
    return lastDuration_;
}

std::int64_t CVornUIDlgDirectShow::HandleMessage(unsigned message, const MessageArgs& args) {
    switch (message) {
        case MSG_SETMEDIA: {
            const std::int64_t result = OnSetMedia(args);
            MediaChanged();
            if (desktop_) desktop_->PlayerChanged();
            return result;
        }
        case MSG_PLAY:
            if (graph_) graph_->Run();
            if (PlayButton()) PlayButton()->SetPlayingLook();
            PlayerStateChanged();
            if (desktop_) desktop_->PlayerChanged();
            return 0;
        case MSG_PAUSE:
            if (graph_) graph_->Pause();
            if (PlayButton()) PlayButton()->SetStoppedLook();
            PlayerStateChanged();
            if (desktop_) desktop_->PlayerChanged();
            return 0;
        case MSG_SEEKFORWARD:
            return graph_ ? graph_->SeekForward() : MediaGraph::kNotRunning;
        case MSG_SEEKBACK:
            return graph_ ? graph_->SeekBack() : MediaGraph::kNotRunning;
        default:
            return CVornUIDlg::HandleMessage(message, args);
    }
}

std::int64_t CVornUIDlgDirectShow::OnSetMedia(const MessageArgs& args) {
    if (!graph_) {
        SetMediaLoaded(false);
        return 0;
    }
    if (graph_->State() == MediaGraph::kRunning && graph_->Stop() != 0) {
        VORN_LOG(LogLevel::Warning) << "Failed to stop media";
        return 0;
    }
    // Nothing plays until MSG_PLAY: the button offers play meanwhile, so its
    // first press plays (after a media-folder move, for instance).
    if (PlayButton()) PlayButton()->SetStoppedLook();
    if (!args.text || args.text->empty()) {
        graph_->Release();
        return 0;
    }
    const std::string& path = *args.text;
    const std::int32_t result = graph_->Load(path, mediaGainDb_);
    if (result != 0) {
        VORN_LOG(LogLevel::Warning) << "CVornUIDlgDirectShow : Error setting Media : " << path
                                    << " DS Error = " << result;
    } else {
        VORN_LOG(LogLevel::Info) << "New Media Set : " << path;
    }
    mediaWasRunning_ = false;
    lastPosition_ = 0.0;
    lastDuration_ = 0.0;
    SetMediaLoaded(result == 0);
    return result;
}

void CVornUIDlgDirectShow::TimerTick(int timerId) {
    if (timerId == TIMER_MEDIA_POLL && graph_) {
        double duration = 0.0;
        double position = 0.0;
        if (graph_->GetDuration(duration) != 0 || graph_->GetPosition(position) != 0) {
            return;  // not running: no time display, no end
        }
        if (graph_->IsComplete()) {
            if (mediaWasRunning_) {
                mediaWasRunning_ = false;
                MediaEnded();
            }
        } else {
            mediaWasRunning_ = true;
        }
        ShowTime(static_cast<int>(position), static_cast<int>(duration));
    } else if (timerId == TIMER_DISPLAY_SCROLL && Display() != nullptr) {
        Display()->ScrollTick();
    }
    CVornUIDlg::TimerTick(timerId);
}

}  // namespace vorn
