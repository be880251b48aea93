#pragma once

#include <cstdint>

namespace vorn {

class VornPlaylistItem;

// What the playlist tells the player. Called on a download thread while the
// playlist's lock is held, so a receiver must never wait for a thread that may
// want that lock (the window thread, for one).
class PlaylistListener {
public:
    virtual ~PlaylistListener() = default;
    // An item's file has arrived and the item is now at the end of the play order.
    virtual void OnItemDownloaded() = 0;
    // New percentage of the leading download.
    virtual void OnDownloadProgress(std::int32_t percent) = 0;
    // An item failed to download; it is deleted as soon as this returns.
    virtual void OnDownloadFailed(VornPlaylistItem* item) = 0;
};

}  // namespace vorn
