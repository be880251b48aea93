#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <thread>

#include "ui/CVornUIDlg.h"

namespace vorn {

class DesktopIntegration;
class MediaGraph;

// The main window with its media playback: every media call happens here, on the
// window thread, in answer to the messages the player posts or sends. The media
// poll (every 500 ms) updates the time display and notices the end of the media;
// the display scroll timer (every 200 ms) moves a long title along.
class CVornUIDlgDirectShow : public CVornUIDlg {
public:
    explicit CVornUIDlgDirectShow(UiThread& uiThread, PicturePreload* preloaded = nullptr);
    ~CVornUIDlgDirectShow() override;

    void TimerTick(int timerId) override;
    // A press that leaves nothing current (the library is empty, its music on
    // the way) has the media graph built meanwhile (MediaGraph::Prepare), once
    // the playback plugins are loaded; any press starts loading them.
    bool OnPlayButton(int code) override;
    bool PluginsLoaded() const { return pluginsLoaded_; }
    // The item's gain goes with its file to the media graph.
    bool SetMedia(VornPlaylistItem* item) override;
    MediaGraph* Graph() const { return graph_.get(); }
    DesktopIntegration* Desktop() const { return desktop_.get(); }
    // Where the media is and how long it lasts (seconds): asked of the graph
    // while it runs, else as last seen; 0 before anything was seen.
    double PositionSeconds();
    double DurationSeconds();

protected:
    // After the window's own: the desktop's media controls, notices and portal.
    void OnFirstFrame() override;
    // The timers; a while later the media framework started and the playback
    // plugins loaded on a thread of their own (MediaGraph::LoadPlugins).
    void OnWindowReady() override;
    std::int64_t HandleMessage(unsigned message, const MessageArgs& args) override;
    void OnRatingChanged() override;
    void OnPreferencesApplied() override;
    void OnRatingWanted() override;
    bool RegisterDesktopKeys(bool on) override;

private:
    std::int64_t OnSetMedia(const MessageArgs& args);
    // Starts pluginLoader_ once; `background` behind the window.
    void StartPluginLoader(bool background);
    // The graph prepared for a press still waiting for its music.
    void PrepareIfWaiting();

    std::unique_ptr<MediaGraph> graph_;
    bool prepareWanted_ = false;              // window thread: a press waits for its music
    std::atomic<bool> pluginsLoaded_{false};  // set by pluginLoader_ when done
    std::jthread pluginLoader_;               // joined first when the window goes
    std::unique_ptr<DesktopIntegration> desktop_;
    std::optional<double> mediaGainDb_;  // of the item SetMedia hands over
    bool mediaWasRunning_ = false;
    double lastPosition_ = 0.0;
    double lastDuration_ = 0.0;
};

}  // namespace vorn
