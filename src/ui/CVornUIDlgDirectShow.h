#pragma once

#include <memory>
#include <optional>

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
    explicit CVornUIDlgDirectShow(UiThread& uiThread);
    ~CVornUIDlgDirectShow() override;

    void TimerTick(int timerId) override;
    // The item's gain goes with its file to the media graph.
    bool SetMedia(VornPlaylistItem* item) override;
    MediaGraph* Graph() const { return graph_.get(); }
    DesktopIntegration* Desktop() const { return desktop_.get(); }
    // Where the media is and how long it lasts (seconds): asked of the graph
    // while it runs, else as last seen; 0 before anything was seen.
    double PositionSeconds();
    double DurationSeconds();

protected:
    void OnInitDialog() override;
    std::int64_t HandleMessage(unsigned message, const MessageArgs& args) override;
    void OnRatingChanged() override;
    void OnPreferencesApplied() override;
    void OnRatingWanted() override;
    bool RegisterDesktopKeys(bool on) override;

private:
    std::int64_t OnSetMedia(const MessageArgs& args);

    std::unique_ptr<MediaGraph> graph_;
    std::unique_ptr<DesktopIntegration> desktop_;
    std::optional<double> mediaGainDb_;  // of the item SetMedia hands over
    bool mediaWasRunning_ = false;
    double lastPosition_ = 0.0;
    double lastDuration_ = 0.0;
};

}  // namespace vorn
