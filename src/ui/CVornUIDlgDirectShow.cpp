#include "ui/CVornUIDlgDirectShow.h"

#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include "foundation/LogEntry.h"
#include "foundation/Preferences.h"
#include "library/VornPlaylistItem.h"
#include "ui/CSkinButton.h"
#include "ui/CVNDisplayControl.h"
#include "ui/DesktopIntegration.h"
#include "ui/MediaGraph.h"

namespace vorn {

namespace {

// The plugin loader's niceness: behind the window, not starved by it.
constexpr int kLoaderNice = 10;
// When the plugin loader starts after the window is ready, unless play is pressed before.
constexpr int kPluginLoadDelayMs = 1500;

}  // namespace

// The graph is there from the start, so a press of play that comes before the
// rest of the initialisation still loads its file; making it starts nothing.
CVornUIDlgDirectShow::CVornUIDlgDirectShow(UiThread& uiThread, PicturePreload* preloaded)
    : CVornUIDlg(uiThread, preloaded), graph_(std::make_unique<MediaGraph>()) {}

CVornUIDlgDirectShow::~CVornUIDlgDirectShow() {
    // The loader posts to the window when done: joined while the window is whole.
    if (pluginLoader_.joinable()) pluginLoader_.join();
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

void CVornUIDlgDirectShow::OnFirstFrame() {
    CVornUIDlg::OnFirstFrame();
    graph_->SetLevelling(Preferences::Global().GetLevelling());
    desktop_ = std::make_unique<DesktopIntegration>(*this);
    desktop_->Start();
}

void CVornUIDlgDirectShow::OnWindowReady() {
    SetTimer(TIMER_DISPLAY_SCROLL, TIMER_DISPLAY_SCROLL_MS);
    SetTimer(TIMER_MEDIA_POLL, TIMER_MEDIA_POLL_MS);
    // Once the start has settled, or at the first press of play if sooner.
    QTimer::singleShot(kPluginLoadDelayMs, this, [this] { StartPluginLoader(true); });
}

void CVornUIDlgDirectShow::StartPluginLoader(bool background) {
    if (pluginLoader_.joinable()) return;
    // Starting the media framework and reading its plugins takes tens of
    // milliseconds, seconds of both cores when its registry is rebuilt, and
    // mapping the plugins holds up the window's thread now and then: another
    // thread does it, yielding to the window (the registry's scanner, which it
    // starts, inherits that), after the listener's first moments with the window.
    // For a listener who pressed play and waits, at the window's own priority.
    pluginLoader_ = std::jthread([this, background] {
        if (background) setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kLoaderNice);
        MediaGraph::LoadPlugins();
        pluginsLoaded_ = true;
        // Dropped if the window has gone meanwhile.
        QMetaObject::invokeMethod(this, [this] { PrepareIfWaiting(); }, Qt::QueuedConnection);
    });
}

void CVornUIDlgDirectShow::PrepareIfWaiting() {
    if (prepareWanted_ && pluginsLoaded_ && graph_ && !HasCurrentItem()) graph_->Prepare();
    prepareWanted_ = false;
}

bool CVornUIDlgDirectShow::OnPlayButton(int code) {
    const bool result = CVornUIDlg::OnPlayButton(code);
    if (code != CSkinButton::kCodeClick) return result;
    StartPluginLoader(false);
    if (!HasCurrentItem()) {
        prepareWanted_ = true;
        // After the press's own drawing ("Please Wait"), while the station
        // answers; not before the plugins are there, as the window would wait
        // for them: the loader prepares then.
        QTimer::singleShot(0, this, [this] {
            if (pluginsLoaded_) PrepareIfWaiting();
        });
    }
    return result;
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
