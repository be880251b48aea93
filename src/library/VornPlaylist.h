#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "download/RetrieverGraveyard.h"
#include "library/PlaylistListener.h"
#include "library/PlaylistSaver.h"
#include "library/VornPlaylistItem.h"
#include "platform/Clock.h"

namespace vorn {

class Preferences;
class Recommendation;

inline constexpr const char* kPlaylistFileName = "pl.txt";
// An item rated below 4 comes round again when it was last played longer ago than this.
inline constexpr std::int64_t kReplayAfterSeconds = 172800;
// The station recommends an item the library holds: it is played again when
// the listener rated it at least this (see AddRecommendation).
inline constexpr std::int32_t kPutUpAtLeast = 3;

// The listener's media library: downloaded items in play order with a cursor on
// the next one to play, the items still downloading, and the item playing now.
// It picks what plays next (new items first, then low-rated items not heard for
// two days), files each item into the folder of its rating when playback moves
// on, keeps the library in "pl.txt" and finds moved files again. An item's
// picture lies beside its file: it moves with the file and is deleted with it.
//
// "pl.txt" is written again shortly after every change it records (see
// PlaylistSaver), on the saver's thread, so that a crash loses at most the last
// moments; and once more when the playlist is destroyed.
//
// Every operation takes the playlist's re-entrant lock. Download threads take it
// to report; so the playlist never waits for a download thread while holding it:
// running downloads are taken out under the lock and stopped after releasing it.
class VornPlaylist {
public:
    // Loads `playlistFile` (relative to the current folder) and puts the cursor on
    // the first unrated item. preferences: for the downloads' proxy and for the
    // media move; null means the global ones. saveDelay: how long after a change
    // the playlist file is written (see PlaylistSaver). Nothing is written before
    // the file has been loaded.
    VornPlaylist(std::string mediaFolder, PlaylistListener* listener, const Clock& clock = Clock::System(),
                 const Preferences* preferences = nullptr, std::string playlistFile = kPlaylistFileName,
                 std::chrono::milliseconds saveDelay = PlaylistSaver::kDefaultDelay);
    // Stops the saver, saves the playlist file, stops running downloads and
    // deletes every item.
    ~VornPlaylist();
    VornPlaylist(const VornPlaylist&) = delete;
    VornPlaylist& operator=(const VornPlaylist&) = delete;

    // Starts a download for the recommendation and returns null, or returns the
    // item that already has its item id (the recommendation then stays the caller's,
    // which is why it comes as a reference to an owner). "<" and ">" in what the
    // server sent are replaced before the item stores it. The returned item may be
    // deleted by a download thread or a purge as soon as this returns: a caller
    // that needs its rating gets it through existingRating, read under the lock.
    // While the media folder is not available nothing is downloaded (null).
    //
    // An item already here, rated kPutUpAtLeast or more, not the current one and
    // with its file in place, is put up to play again: it goes where a finished
    // download goes, so that NextItem hands it out next when nothing else waits.
    // putUpNext says whether it was (or already waited its turn).
    VornPlaylistItem* AddRecommendation(std::unique_ptr<Recommendation>& recommendation,
                                        std::int32_t* existingRating = nullptr, bool* putUpNext = nullptr);
    // True when an item of that id is in the play order or downloading; its
    // rating is then stored in `rating`.
    bool FindRating(std::int32_t itemId, std::int32_t& rating);
    void OnItemProgress(VornPlaylistItem* item, std::int32_t percent);
    void OnItemFinished(VornPlaylistItem* item);

    VornPlaylistItem* NextItem();
    VornPlaylistItem* PreviousItem();
    // The item NextItem or PreviousItem handed out last, if it is still here.
    VornPlaylistItem* CurrentItem();
    // Takes the item out of the play order and the downloads and deletes its file;
    // the caller receives the item (null when it was not here).
    std::unique_ptr<VornPlaylistItem> RemoveItem(VornPlaylistItem* item);
    std::int32_t UnplayedCount(bool all);
    // Finds files missing from their recorded folder in the rating folders and
    // drops items whose file is nowhere. While the media folder is not available
    // every item is kept (false).
    bool RelocateItems();
    // False while the library has items but its media folder cannot be reached
    // (an unmounted drive): nothing is then played, downloaded, purged or
    // dropped. When it is back, items are relocated and all goes on.
    bool MediaFolderAvailable();
    bool Load(const std::string& fileName);
    // Writes a temporary file and renames it, so a crash never loses the library.
    // Saves run one at a time, each writing what the playlist holds when it
    // starts. Never call it while holding the playlist's lock (from a listener's
    // report): the saver's thread takes the lock inside a save.
    bool Save(const std::string& fileName);
    // Something the playlist file records changed outside the playlist (an
    // item's rating set by the window): the file is written soon.
    void MarkChanged();
    // How many times Save has written a file whole since construction.
    std::uint64_t SaveCount() const { return saves_.load(); }
    std::string MediaFolder();

    // Media folder operations. The purge files the current item by its rating
    // first and never deletes the file of an item it keeps.
    std::int32_t PurgeBelow(std::int32_t threshold);
    static bool DeleteFilesIn(const std::string& folder);
    // As above, leaving the files whose names are in `keep`.
    static bool DeleteFilesIn(const std::string& folder, const std::vector<std::string>& keep);
    bool MoveMediaFolder(const std::string& newFolder);

    // Keeps a retriever until its worker has ended (see RetrieverGraveyard).
    void Bury(std::unique_ptr<HttpFileRetriever> retriever);

private:
    using ItemList = std::list<std::unique_ptr<VornPlaylistItem>>;

    // AddRecommendation's putting up of an item in the play order; lock held.
    bool PutUpNext(ItemList::iterator node);
    void FileByRating(VornPlaylistItem* item);
    // True when `folder` is one of the media folder's rating folders: the only
    // places whose files the playlist moves or deletes.
    bool IsRatingFolder(const std::string& folder) const;
    // Updates and reports mediaMissing_; lock held.
    bool CheckMediaFolder();
    // Deletes what a download interrupted by a crash left in the rating folders.
    void RemoveStalePartialDownloads();
    // A library file that exists but could not be read (whole) is never replaced.
    void KeepUnreadFile(const std::string& fileName);
    // Takes every running download out (under the lock) and stops them (after it).
    void StopDownloads();
    void EraseNode(ItemList::iterator node);

    const Clock& clock_;
    const Preferences* const preferences_;
    const std::string playlistFile_;
    PlaylistListener* const listener_;  // not owned
    RetrieverGraveyard graveyard_;

    // Serialises whole saves (the saver's, the final one, the media move's): each
    // writes "<file>.new" and renames it. Taken before the playlist's lock, never
    // while holding it.
    std::mutex saveMutex_;
    std::atomic<std::uint64_t> saves_{0};
    // Started once the playlist file is loaded; stopped before the final save.
    std::unique_ptr<PlaylistSaver> saver_;

    std::recursive_mutex lock_;  // guards everything below
    std::string mediaFolder_;
    ItemList playList_;
    ItemList::iterator cursor_;
    std::vector<std::unique_ptr<VornPlaylistItem>> downloads_;
    VornPlaylistItem* leadingDownload_ = nullptr;  // not owned
    std::int32_t leadingPercent_ = 0;
    VornPlaylistItem* currentItem_ = nullptr;  // not owned
    bool mediaMissing_ = false;
    std::string unreadFile_;  // a library file Save must leave alone  // the library's media folder could not be reached
};

}  // namespace vorn
