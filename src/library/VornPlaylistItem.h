#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "download/FileRetrieverListener.h"
#include "library/ItemStatus.h"
#include "server/Recommendation.h"
#include "xml/XmlElement.h"

namespace vorn {

class ArtRetriever;
class HttpFileRetriever;
class Preferences;
class VornPlaylist;

// One media item the listener can play: a recommendation plus its local MP3 file,
// the folder that holds it, its star rating and when it was last played. While its
// file downloads the item owns the retriever and passes its reports on to the
// playlist. Each item is one line of XML in the playlist file.
//
// Two optional details of the recommendation serve playback: "Art", the URL of
// the track's picture, fetched beside the file once the file is whole (before
// the playlist hears of it, so the picture is there when the track first
// plays; a failure costs a log line and nothing else), and "Gain", the dB that
// bring the track to the station's reference loudness.
class VornPlaylistItem : public FileRetrieverListener {
public:
    // Gains beyond these are taken as these: a louder or quieter track is
    // more likely a station's mistake than a recording's.
    static constexpr double kMinGainDb = -30.0;
    static constexpr double kMaxGainDb = 12.0;

    // A new item, whose file is still to be fetched into `location` (a folder
    // ending with the separator). Nothing starts until StartDownload.
    VornPlaylistItem(std::unique_ptr<Recommendation> recommendation, std::string location, VornPlaylist* playlist,
                     const Preferences* preferences = nullptr);
    // An item restored from the playlist file; it never downloads.
    VornPlaylistItem(std::unique_ptr<Recommendation> recommendation, std::string location, std::int32_t lastPlayed,
                     std::int32_t rating);
    // Stops the download (and its picture's) and waits for its thread first. A
    // retriever whose worker is still on its way out (this item failed inside
    // its own error report) goes to the playlist's graveyard instead of being
    // waited for.
    ~VornPlaylistItem() override;
    VornPlaylistItem(const VornPlaylistItem&) = delete;
    VornPlaylistItem& operator=(const VornPlaylistItem&) = delete;

    // Starts the download. Its error report may arrive before this returns (a URL
    // that is not "http") and may delete this item: the caller must not touch the
    // item after calling it.
    void StartDownload();
    // Hands the retriever over once the download has ended, so that it can be
    // freed as soon as its thread is gone instead of living as long as the item.
    std::unique_ptr<HttpFileRetriever> TakeRetriever();

    std::int32_t ItemId() const;
    std::string FileName() const { return fileName_; }
    std::string Location() const;
    std::string FullPath() const;
    // Changes only the recorded folder; moving the file is the caller's job.
    void SetLocation(const std::string& folder);
    std::int32_t Rating() const { return rating_; }
    void SetRating(std::int32_t rating) { rating_ = rating; }
    std::int32_t LastPlayed() const { return lastPlayed_; }
    // 0 stores the current time.
    void SetLastPlayed(std::int32_t when);
    std::int32_t PlayState() const { return playState_; }
    void SetPlayState(std::int32_t state) { playState_ = state; }
    ItemStatusRecord StatusRecord() const;
    std::string DisplayName() const;
    std::string SourceUrl() const;
    // The names the track's picture may have beside its file: the file's name
    // with ".jpg" or ".png" in place of ".mp3".
    std::vector<std::string> ArtFileNames() const;
    // The picture beside the file now, or empty when there is none.
    std::string ArtPath() const;
    // The "Gain" detail in dB, limited to kMinGainDb..kMaxGainDb; none when the
    // recommendation has none or it is not a number (logged once, when the
    // item is made).
    std::optional<double> GainDb() const { return gainDb_; }
    const Recommendation& GetRecommendation() const { return *recommendation_; }

    XmlElement ToXml() const;
    static std::unique_ptr<VornPlaylistItem> FromXml(XmlElement element);

    // A file name from the server made safe to use inside one folder: path
    // separators and NUL become "_", and "." or ".." become "_".
    static std::string SafeFileName(const std::string& name);

    void OnFileRetrieved(std::int32_t totalBytes, float rateKBps) override;
    void OnRetrievalError(std::int32_t code) override;
    void OnRetrievalStatus(float rateKBps, float percent) override;

private:
    // Fetches the picture the "Art" detail names, unless it is there already.
    void FetchArt();
    // The file's name without ".mp3": the pictures' names add their kind's.
    std::string ArtStem() const;

    std::unique_ptr<Recommendation> recommendation_;
    std::unique_ptr<HttpFileRetriever> retriever_;
    // The picture's fetch, made with the retriever when there is an "Art" detail.
    std::unique_ptr<ArtRetriever> art_;
    const std::string fileName_;
    const std::optional<double> gainDb_;
    // Items are read and changed from the window, worker and download threads.
    mutable std::mutex mutex_;  // guards location_ and status_
    std::string location_;
    ItemStatusRecord status_;
    std::atomic<std::int32_t> playState_{0};
    VornPlaylist* const playlist_;  // not owned; null for restored items
    std::atomic<std::int32_t> lastPlayed_{0};
    std::atomic<std::int32_t> rating_{0};
};

}  // namespace vorn
