#include "station/catalogue/FolderWatch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "station/base/StationLog.h"

namespace vorn::station {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kEvents = IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO |
                                  IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

std::string WatchLimit() {
    std::ifstream limit("/proc/sys/fs/inotify/max_user_watches");
    std::string value;
    return limit >> value ? value : std::string("?");
}

std::int64_t WallNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

FolderWatch::FolderWatch(Catalogue& catalogue, Settings settings) : catalogue_(catalogue), settings_(settings) {
    hooks_.enteringFolder = [this](const std::string& folder) {
        Watch(folder);
        // A long scan keeps the queue short, so that what it does itself
        // (files opened to read their tags) does not overflow it.
        Drain();
    };
    hooks_.stillWriting = [this](const WalkedFile& file) { return StillWriting(file); };
}

FolderWatch::~FolderWatch() {
    Stop();
    if (inotify_ >= 0) {
        ::close(inotify_);
    }
}

int FolderWatch::Start(bool scanNow) {
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ < 0) {
        STATION_LOG(LogLevel::Warning) << "Catalogue : cannot watch \"" << catalogue_.MusicDir()
                                       << "\" for changes (inotify: " << std::strerror(errno) << "); "
                                       << (settings_.rescanMinutes > 0
                                               ? "they are noticed by the rescan every " +
                                                     std::to_string(settings_.rescanMinutes) + " minutes"
                                               : std::string("they are noticed at the next start (--rescan 0)"));
    }
    const int scanned = scanNow ? FullScan() : 0;
    thread_ = std::thread([this, scanNow] { Run(!scanNow); });
    return scanned;
}

void FolderWatch::Stop() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        if (::write(wake_, &one, sizeof one) != sizeof one) {
            STATION_LOG(LogLevel::Severe) << "Catalogue : cannot stop the folder watch : " << std::strerror(errno);
        }
        thread_.join();
    }
    if (wake_ >= 0) {
        ::close(wake_);
        wake_ = -1;
    }
}

void FolderWatch::Run(bool scanFirst) {
    if (scanFirst) {
        FullScan();
    }
    for (;;) {
        pollfd waits[2] = {{wake_, POLLIN, 0}, {inotify_, POLLIN, 0}};
        const int ready = ::poll(waits, inotify_ >= 0 ? 2 : 1, WaitMs());
        if (ready < 0 && errno != EINTR) {
            STATION_LOG(LogLevel::Severe) << "Catalogue : the folder watch stops : " << std::strerror(errno);
            return;
        }
        if ((waits[0].revents & POLLIN) != 0) {
            return;
        }
        Drain();
        if (rescanDue_ || (settings_.rescanMinutes > 0 && Clock::now() >= nextRescan_)) {
            FullScan();
        } else {
            Flush();
        }
    }
}

int FolderWatch::WaitMs() const {
    const Clock::time_point now = Clock::now();
    Clock::time_point due = Clock::time_point::max();
    if (settings_.rescanMinutes > 0) {
        due = nextRescan_;
    }
    if (!dirty_.empty()) {
        due = std::min({due, lastEvent_ + settings_.quiet, firstDirty_ + settings_.longestBurst});
    }
    for (const auto& [path, held] : held_) {
        due = std::min(due, held.lastActivity + (held.writer ? settings_.writerTimeout : settings_.settle));
    }
    if (due == Clock::time_point::max()) {
        return -1;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
    return static_cast<int>(std::clamp<std::int64_t>(wait, 0, 60 * 60 * 1000));
}

int FolderWatch::FullScan() {
    entered_.clear();
    dirty_.clear();
    rescanDue_ = false;
    // Files known whole before the scan are taken by it; those settled while
    // it runs have marked themselves changed and are taken by the next.
    const std::unordered_set<std::string> settledBefore = settled_;
    const auto start = std::chrono::steady_clock::now();
    const int count = catalogue_.Rescan(hooks_);
    if (settings_.scanned) {
        settings_.scanned(std::chrono::steady_clock::now() - start);
    }
    for (const std::string& path : settledBefore) {
        settled_.erase(path);
    }
    // Folders the scan no longer met (moved away, or behind a link now refused).
    if (count >= 0) {
        std::vector<int> stale;
        for (const auto& [wd, folder] : folders_) {
            if (entered_.count(wd) == 0) {
                stale.push_back(wd);
            }
        }
        for (const int wd : stale) {
            ::inotify_rm_watch(inotify_, wd);
            watches_.erase(folders_[wd]);
            folders_.erase(wd);
        }
    }
    checkRecent_ = true;
    nextRescan_ = Clock::now() + std::chrono::minutes(settings_.rescanMinutes);
    return count;
}

void FolderWatch::Flush() {
    const Clock::time_point now = Clock::now();
    for (auto held = held_.begin(); held != held_.end();) {
        if (now >= held->second.lastActivity + (held->second.writer ? settings_.writerTimeout : settings_.settle)) {
            settled_.insert(held->first);
            MarkDirty(held->first);
            held = held_.erase(held);
        } else {
            ++held;
        }
    }
    if (dirty_.empty() || (now < lastEvent_ + settings_.quiet && now < firstDirty_ + settings_.longestBurst)) {
        return;
    }
    FullScan();
}

void FolderWatch::MarkDirty(const std::string& path) {
    const Clock::time_point now = Clock::now();
    if (dirty_.empty()) {
        firstDirty_ = now;
    }
    lastEvent_ = now;
    dirty_.insert(path);
}

void FolderWatch::Drain() {
    if (inotify_ < 0) {
        return;
    }
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(inotify_, buffer, sizeof buffer);
        if (got <= 0) {
            return;  // EAGAIN: nothing more queued
        }
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            Handle(event->wd, event->mask, event->len > 0 ? event->name : nullptr);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

void FolderWatch::Handle(int wd, std::uint32_t mask, const char* name) {
    if ((mask & IN_Q_OVERFLOW) != 0) {
        STATION_LOG(LogLevel::Info) << "Catalogue : too many changes at once in \"" << catalogue_.MusicDir()
                                    << "\" to follow one by one; scanning it all";
        rescanDue_ = true;
        return;
    }
    const auto folder = folders_.find(wd);
    if (folder == folders_.end()) {
        return;
    }
    if ((mask & IN_IGNORED) != 0) {
        if (const auto watch = watches_.find(folder->second); watch != watches_.end() && watch->second == wd) {
            watches_.erase(watch);
        }
        folders_.erase(folder);
        return;
    }
    if (name == nullptr) {
        // The folder itself went away: its parent tells, unless it is the music folder.
        rescanDue_ = rescanDue_ || (wd == rootWatch_ && (mask & (IN_DELETE_SELF | IN_MOVE_SELF)) != 0);
        return;
    }
    const std::string path = folder->second + '/' + name;
    if ((mask & (IN_DELETE | IN_MOVED_FROM)) != 0) {
        held_.erase(path);
        Unwatch(path);
        MarkDirty(path);
        return;
    }
    if ((mask & IN_ISDIR) != 0) {
        // A folder made or moved in: the refresh watches and walks it. What
        // comes in a move is whole; a folder just made may be being filled.
        if ((mask & IN_MOVED_TO) != 0) {
            settled_.insert(path);
        }
        MarkDirty(path);
        return;
    }
    if ((mask & (IN_CREATE | IN_MODIFY)) != 0) {
        struct stat facts {};
        if ((mask & IN_CREATE) != 0 && ::lstat(path.c_str(), &facts) == 0 && S_ISLNK(facts.st_mode)) {
            MarkDirty(path);  // a link, to a file or a folder: nothing is written to it
            return;
        }
        settled_.erase(path);
        Held& held = held_[path];
        held.lastActivity = Clock::now();
        held.writer = held.writer || (mask & IN_MODIFY) != 0;
        return;
    }
    // Closed after writing, moved in whole, or its times or rights changed
    // (which no writer in the middle of its work does by itself).
    const auto held = held_.find(path);
    if (mask == IN_CLOSE_WRITE && held == held_.end()) {
        // Opened for writing and closed without a write seen: a reader that
        // asks for write access, as the tag reader does. Acting on it would
        // make every file the catalogue reads come back as a change.
        return;
    }
    if ((mask & IN_CLOSE_WRITE) != 0 || held == held_.end() || !held->second.writer) {
        if (held != held_.end()) {
            held_.erase(held);
        }
        settled_.insert(path);
        MarkDirty(path);
    }
}

void FolderWatch::Watch(const std::string& folder) {
    if (inotify_ < 0) {
        return;
    }
    const int wd = ::inotify_add_watch(inotify_, folder.c_str(), kEvents);
    if (wd < 0) {
        if (errno == ENOSPC && !limitReported_) {
            limitReported_ = true;
            STATION_LOG(LogLevel::Warning)
                << "Catalogue : the limit of inotify watches (fs.inotify.max_user_watches = " << WatchLimit()
                << ") is reached at \"" << folder << "\"; changes in the folders not watched are noticed "
                << (settings_.rescanMinutes > 0
                        ? "by the rescan every " + std::to_string(settings_.rescanMinutes) + " minutes"
                        : std::string("at the next start (--rescan 0)"));
        }
        return;
    }
    const auto [known, added] = folders_.try_emplace(wd, folder);
    if (!added && known->second != folder) {
        watches_.erase(known->second);  // the same folder, moved
        known->second = folder;
    }
    watches_[folder] = wd;
    entered_.insert(wd);
    if (folder == catalogue_.MusicDir()) {
        rootWatch_ = wd;
    }
}

void FolderWatch::Unwatch(const std::string& path) {
    const auto drop = [this](std::map<std::string, int>::iterator at) {
        ::inotify_rm_watch(inotify_, at->second);
        folders_.erase(at->second);
        return watches_.erase(at);
    };
    if (const auto at = watches_.find(path); at != watches_.end()) {
        drop(at);
    }
    const std::string below = path + '/';
    for (auto at = watches_.lower_bound(below);
         at != watches_.end() && at->first.compare(0, below.size(), below) == 0;) {
        at = drop(at);
    }
}

bool FolderWatch::StillWriting(const WalkedFile& file) {
    const std::int64_t age = WallNanoseconds() - file.modified;
    if (age >= std::chrono::nanoseconds(settings_.settle).count()) {
        return held_.count(file.path) != 0;
    }
    Drain();  // a writer's latest events
    if (held_.count(file.path) != 0) {
        return true;
    }
    if (!checkRecent_) {
        return false;
    }
    // Known whole: the file, or a folder it came in with, was moved in or closed.
    for (std::size_t end = file.path.size(); end != std::string::npos && end > 0;
         end = file.path.rfind('/', end - 1)) {
        if (settled_.count(file.path.substr(0, end)) != 0) {
            return false;
        }
    }
    // Settled once left alone for the settle time since it was last modified.
    held_[file.path] = Held{Clock::now() - std::chrono::nanoseconds(std::max<std::int64_t>(age, 0)), false};
    return true;
}

}  // namespace vorn::station
