#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vorn {

// What the desktop's media controls show of the item playing.
struct TrackInfo {
    std::int32_t itemId = 0;
    std::int64_t lengthUs = 0;  // 0 while unknown
    std::string title;
    std::string artist;
    std::string album;
    std::string genre;
    std::string path;    // the local file
    std::string source;  // the track's page at the station
    std::int32_t stars = 0;
    std::string artPath;  // the track's picture, a local file; empty without one
};

// The player as the desktop's media controls, notices and global keys drive
// it: the same operations as the window's buttons and stars. Called on the
// window thread only.
class PlayerControl {
public:
    enum class Status { kStopped, kPlaying, kPaused };

    virtual ~PlayerControl() = default;

    virtual Status PlaybackStatus() = 0;
    virtual std::optional<TrackInfo> CurrentTrack() = 0;
    virtual std::int64_t PositionUs() = 0;

    virtual void Play() = 0;
    virtual void Pause() = 0;
    virtual void PlayPause() = 0;
    // As the forward button: an unrated item is not left, the stars ask for a rating.
    virtual void Next() = 0;
    virtual void Previous() = 0;
    // Only while playing; clamped to the track.
    virtual void SeekToUs(std::int64_t positionUs) = 0;
    // As a click on a star of the current item.
    virtual void Rate(std::int32_t stars) = 0;
    // As the menu's Exit.
    virtual void Quit() = 0;
    // Shows the window (also when hidden in the tray) and brings it forward.
    virtual void Raise() = 0;
};

}  // namespace vorn
