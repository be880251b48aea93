#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "station/catalogue/Catalogue.h"

namespace vorn::station {

// Keeps the catalogue in step with the music folder while the station runs.
// inotify on every folder of it tells of files added, changed, moved or
// removed; once the burst they came in is over (a quarter of a second after
// its last event, at most a second after its first) the catalogue scans the
// folder again, which reads only the files that are new or changed and so
// costs little more than a walk of the tree. A file still being written waits
// until its writer closes it, or until it has been left alone for the settle
// time. A scan also runs at start, when inotify lost events (its queue
// overflowed), when the music folder itself moves, and every `rescanMinutes`
// as the fallback for what inotify cannot tell: folders beyond the limit of
// watches, and changes that other machines make on a network file system.
//
// Everything but Stop() runs on the watch's own thread (and the first scan on
// the caller's, before that thread starts), so its state needs no lock.
class FolderWatch {
public:
    struct Settings {
        int rescanMinutes = 10;  // 0: no periodic rescan
        std::chrono::milliseconds quiet{250};
        std::chrono::milliseconds longestBurst{1000};
        // A file found by a walk that was modified this recently may be
        // being written; so may one whose writer has not closed it and which
        // has been left alone for less than `writerTimeout`.
        std::chrono::milliseconds settle{2000};
        std::chrono::milliseconds writerTimeout{60000};
        // Told of every full scan when it has ended, with how long it took
        // (on the thread that ran it): for the station's metrics.
        std::function<void(std::chrono::steady_clock::duration)> scanned;
    };

    FolderWatch(Catalogue& catalogue, Settings settings);
    ~FolderWatch();  // stops
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    // Sets the watch up and starts its thread. With `scanNow` the first full
    // scan runs on the calling thread before this returns, with its result
    // (Catalogue::Rescan) returned; otherwise the thread starts with it and 0
    // is returned.
    int Start(bool scanNow);
    // Joins the thread (after the scan under way, if any). Idempotent.
    void Stop();

private:
    // A file that may be being written: `writer` once it was written to
    // since it was created or last closed.
    struct Held {
        std::chrono::steady_clock::time_point lastActivity;
        bool writer = false;
    };

    void Run(bool scanFirst);
    int FullScan();
    // Scans once the burst is over or a held file has settled.
    void Flush();
    // Reads every event queued so far, without waiting.
    void Drain();
    void Handle(int wd, std::uint32_t mask, const char* name);
    void MarkDirty(const std::string& path);
    void Watch(const std::string& folder);
    // Stops watching the folder at `path` and every folder below it.
    void Unwatch(const std::string& path);
    bool StillWriting(const WalkedFile& file);
    // How long poll may sleep before something is due (-1: until an event).
    int WaitMs() const;

    Catalogue& catalogue_;
    const Settings settings_;
    Catalogue::ScanHooks hooks_;
    int inotify_ = -1;
    int wake_ = -1;  // an eventfd Stop() writes to
    std::thread thread_;

    std::unordered_map<int, std::string> folders_;  // watch descriptor → folder
    std::map<std::string, int> watches_;             // folder → watch descriptor, in path order
    std::unordered_set<int> entered_;                // watches a full scan under way has set
    int rootWatch_ = -1;
    bool limitReported_ = false;
    bool checkRecent_ = false;  // off for the first scan, which waits for nothing
    bool rescanDue_ = false;    // events were lost, or the music folder itself moved

    std::set<std::string> dirty_;  // paths changed since the last scan began
    std::chrono::steady_clock::time_point firstDirty_;
    std::chrono::steady_clock::time_point lastEvent_;
    std::unordered_map<std::string, Held> held_;
    std::unordered_set<std::string> settled_;  // files known whole: closed by their writer, moved in, or left alone
    std::chrono::steady_clock::time_point nextRescan_;
};

}  // namespace vorn::station
