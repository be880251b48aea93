#pragma once

#include <string>

#include "library/PlaylistListener.h"

namespace vorn {

class VornPlaylistItem;

// The player's ten notifications, in slot order: the playlist's three (slots 0
// to 2, implemented by the player) and the seven the player asks of its user
// interface (slots 3 to 9, implemented by the window); then the news of the
// station's reachability, which the window may show.
class PlayerUi : public PlaylistListener {
public:
    // Posted to the window: never wait.
    virtual bool StartPlayback() = 0;
    virtual bool PausePlayback() = 0;
    virtual bool SeekForward() { return false; }
    virtual bool SeekBack() { return false; }
    // Loads the item's file (or releases the media for none); true when loaded.
    // Called on the window thread.
    virtual bool SetMedia(VornPlaylistItem* item) = 0;
    // An empty text leaves that line as it is. Safe from any thread; false while
    // the window is not ready.
    virtual bool SetDisplayText(const std::string& line1, const std::string& line2 = std::string()) = 0;
    // Brings the window forward and animates the stars.
    virtual bool AskForRating() = 0;
    // The station became reachable or was lost. Any thread; never wait.
    virtual void OnConnectionChanged(bool /*online*/) {}
};

}  // namespace vorn
