#pragma once

#include <memory>
#include <optional>

#include "desktop/PlayerControl.h"

namespace vorn {

class CVornUIDlgDirectShow;
class MprisService;
class PortalShortcuts;
class TrackNotifier;

// The window as the desktop sees it: its media controls on the session bus
// (MprisService) and a notice for each track with a button per star
// (TrackNotifier), each switched off by its preference or left out, with one
// log line, where the session has no bus; and the hot keys through the desktop
// portal where the session offers global shortcuts (PortalShortcuts), in place
// of the key grab on the X display. Everything the desktop asks goes through
// the window's own handlers, so a media key, a panel widget or a script does
// exactly what the button or the star would.
//
// Window thread only.
class DesktopIntegration : public PlayerControl {
public:
    explicit DesktopIntegration(CVornUIDlgDirectShow& window);
    ~DesktopIntegration() override;
    DesktopIntegration(const DesktopIntegration&) = delete;
    DesktopIntegration& operator=(const DesktopIntegration&) = delete;

    // Joins or leaves the session bus as the preferences say (again after
    // they changed).
    void Start();
    // The window's news: playing or paused, another item, a rating.
    void PlayerChanged();
    // The window asks for the rating of the current item.
    void RatingWanted();
    // Binds (on) or releases the hot keys through the portal; false when the
    // session has no portal for them and the window grabs them itself.
    bool PortalKeys(bool on);

    MprisService* Mpris() const { return mpris_.get(); }

    // PlayerControl.
    Status PlaybackStatus() override;
    std::optional<TrackInfo> CurrentTrack() override;
    std::int64_t PositionUs() override;
    void Play() override;
    void Pause() override;
    void PlayPause() override;
    void Next() override;
    void Previous() override;
    void SeekToUs(std::int64_t positionUs) override;
    void Rate(std::int32_t stars) override;
    void Quit() override;
    void Raise() override;

private:
    // A star chosen on a notice: rates the item it was for, if that still plays.
    void RateFromNotice(std::int32_t itemId, std::int32_t stars);

    CVornUIDlgDirectShow& window_;
    std::unique_ptr<MprisService> mpris_;
    std::unique_ptr<TrackNotifier> notifier_;
    std::unique_ptr<PortalShortcuts> portal_;
    std::int32_t noticedItem_ = 0;  // the item the last track notice was for
    // The switches as last applied (none yet before the first Start).
    std::optional<bool> mprisWanted_;
    std::optional<bool> noticesWanted_;
};

}  // namespace vorn
