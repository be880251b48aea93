#include "library/VornPlaylist.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <string_view>
#include <thread>

#include "foundation/LogEntry.h"
#include "foundation/Preferences.h"
#include "library/MediaFolders.h"
#include "library/RatingFolders.h"
#include "platform/Paths.h"
#include "server/Recommendation.h"

namespace fs = std::filesystem;

namespace vorn {
namespace {

bool FileExists(const std::string& path) {
    std::error_code error;
    return fs::is_regular_file(path, error);
}

void RemoveFileQuietly(const std::string& path) {
    std::error_code error;
    if (!fs::is_directory(path, error)) {
        fs::remove(path, error);
    }
}

// Moves the item's picture, where it has one, from one folder to another.
void MoveArt(const VornPlaylistItem& item, const std::string& from, const std::string& to) {
    if (from == to) {
        return;
    }
    for (const std::string& name : item.ArtFileNames()) {
        std::error_code ignored;
        if (fs::is_regular_file(from + name, ignored)) {
            fs::rename(from + name, to + name, ignored);
        }
    }
}

// The names a download writes before its file is whole: "<name>.mp3.part" (only
// ".mp3" names are downloaded) and ".vorn-" + 16 lowercase hex digits + ".part".
bool IsPartialDownloadName(std::string_view name) {
    constexpr std::string_view kOldSuffix = ".mp3.part";
    if (name.size() > kOldSuffix.size() && name.ends_with(kOldSuffix)) {
        return true;
    }
    constexpr std::string_view kPrefix = ".vorn-";
    constexpr std::string_view kSuffix = ".part";
    constexpr std::size_t kDigits = 16;
    if (name.size() != kPrefix.size() + kDigits + kSuffix.size() || !name.starts_with(kPrefix) ||
        !name.ends_with(kSuffix)) {
        return false;
    }
    const std::string_view digits = name.substr(kPrefix.size(), kDigits);
    return std::all_of(digits.begin(), digits.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// Writes `content` into a new or emptied file and waits until the disk has it, so
// that renaming the file over another can never leave a short one after a power cut.
bool WriteDurably(const std::string& path, const std::string& content) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return false;
    }
    bool ok = true;
    for (std::size_t written = 0; ok && written < content.size();) {
        const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
        } else if (n == 0 || errno != EINTR) {
            ok = false;
        }
    }
    // EINVAL: a file that cannot be synchronised (a pipe), where there is nothing to wait for.
    if (ok && ::fsync(fd) != 0 && errno != EINVAL) {
        ok = false;
    }
    return ::close(fd) == 0 && ok;
}

// Waits until the disk has the folder's entries, so that a power cut right after
// a rename finds the new file under the name rather than the old one.
void SyncFolderOf(const std::string& path) {
    std::string folder = fs::path(path).parent_path().string();
    if (folder.empty()) {
        folder = ".";
    }
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Copies every entry of `from` into `to`, recording each path it creates so that a
// failed copy can be taken back without touching what was there before.
bool CopyTree(const fs::path& from, const fs::path& to, std::vector<fs::path>& created) {
    std::error_code error;
    fs::directory_iterator it(from, error);
    if (error) {
        return false;
    }
    for (const fs::directory_iterator end; it != end; it.increment(error)) {
        if (error) {
            return false;
        }
        const fs::path target = to / it->path().filename();
        if (it->is_directory(error)) {
            if (!fs::exists(target, error)) {
                if (!fs::create_directory(target, error)) {
                    return false;
                }
                created.push_back(target);
            }
            if (!CopyTree(it->path(), target, created)) {
                return false;
            }
        } else {
            const bool existed = fs::exists(target, error);
            if (!fs::copy_file(it->path(), target, fs::copy_options::overwrite_existing, error) || error) {
                return false;
            }
            if (!existed) {
                created.push_back(target);
            }
        }
    }
    return !error;
}

}  // namespace

VornPlaylist::VornPlaylist(std::string mediaFolder, PlaylistListener* listener, const Clock& clock,
                           const Preferences* preferences, std::string playlistFile,
                           std::chrono::milliseconds saveDelay)
    : clock_(clock),
      preferences_(preferences),
      playlistFile_(std::move(playlistFile)),
      listener_(listener),
      saver_(std::make_unique<PlaylistSaver>([this] { return Save(playlistFile_); }, saveDelay)),
      mediaFolder_(WithTrailingSeparator(std::move(mediaFolder))) {
    cursor_ = playList_.end();
    RemoveStalePartialDownloads();  // before this playlist starts any download
    if (Load(playlistFile_)) {
        std::lock_guard lock(lock_);
        cursor_ = std::find_if(playList_.begin(), playList_.end(),
                               [](const auto& item) { return item->Rating() == 0; });
    }
    // Only now: a save during the load would write a part of the library over the whole.
    saver_->Start();
}

VornPlaylist::~VornPlaylist() {
    saver_->Stop();  // no background save from here on: the items are about to go
    Save(playlistFile_);
    StopDownloads();
    {
        std::lock_guard lock(lock_);
        currentItem_ = nullptr;
        cursor_ = playList_.end();
    }
    // Items are deleted without the lock: a finished item may still have its
    // download thread on its way out, which needs nothing but must be waited for.
    ItemList items;
    {
        std::lock_guard lock(lock_);
        items.swap(playList_);
        cursor_ = playList_.end();
    }
    items.clear();
}

void VornPlaylist::Bury(std::unique_ptr<HttpFileRetriever> retriever) { graveyard_.Bury(std::move(retriever)); }

void VornPlaylist::MarkChanged() { saver_->MarkChanged(); }

void VornPlaylist::RemoveStalePartialDownloads() {
    const std::string media = MediaFolder();
    for (const char* name : kRatingFolders) {
        std::error_code error;
        fs::directory_iterator it(media + name, error);
        for (const fs::directory_iterator end; !error && it != end; it.increment(error)) {
            std::error_code ignored;
            if (fs::is_directory(it->symlink_status(ignored)) ||
                !IsPartialDownloadName(it->path().filename().string())) {
                continue;
            }
            if (fs::remove(it->path(), ignored)) {
                VORN_LOG(LogLevel::Info) << "VornPlaylist : Removed a partial download left behind: "
                                         << it->path().string();
            }
        }
    }
}

bool VornPlaylist::IsRatingFolder(const std::string& folder) const {
    for (std::int32_t rating = 0; rating <= 5; ++rating) {
        if (folder == mediaFolder_ + RatingFolder(rating)) {
            return true;
        }
    }
    return false;
}

bool VornPlaylist::CheckMediaFolder() {
    if (playList_.empty() || MediaFolderReachable(mediaFolder_)) {
        if (mediaMissing_) {
            mediaMissing_ = false;
            VORN_LOG(LogLevel::Info) << "VornPlaylist : Media folder available again: " << mediaFolder_;
        }
        return true;
    }
    if (!mediaMissing_) {
        mediaMissing_ = true;
        VORN_LOG(LogLevel::Warning) << "VornPlaylist : Media folder not available: " << mediaFolder_;
    }
    return false;
}

bool VornPlaylist::MediaFolderAvailable() {
    std::lock_guard lock(lock_);
    const bool wasMissing = mediaMissing_;
    if (!CheckMediaFolder()) {
        return false;
    }
    if (wasMissing) {
        RelocateItems();  // files may have been moved between rating folders meanwhile
    }
    return true;
}

void VornPlaylist::StopDownloads() {
    std::vector<std::unique_ptr<VornPlaylistItem>> stopping;
    {
        std::lock_guard lock(lock_);
        stopping.swap(downloads_);
        leadingDownload_ = nullptr;
    }
    // Each item stops its transfer and waits for its thread, which may be waiting
    // for the lock to report; it finds the item gone from the downloads and leaves.
    stopping.clear();
    graveyard_.Reap();
}

VornPlaylistItem* VornPlaylist::AddRecommendation(std::unique_ptr<Recommendation>& recommendation,
                                                  std::int32_t* existingRating, bool* putUpNext) {
    if (putUpNext != nullptr) {
        *putUpNext = false;
    }
    graveyard_.Reap();
    if (!recommendation) {
        return nullptr;
    }
    VornPlaylistItem* started = nullptr;
    {
        std::lock_guard lock(lock_);
        const std::int32_t id = recommendation->ItemId();
        const auto sameId = [id](const auto& item) { return item->ItemId() == id; };
        VornPlaylistItem* existing = nullptr;
        const auto inList = std::find_if(playList_.begin(), playList_.end(), sameId);
        if (inList != playList_.end()) {
            existing = inList->get();
        } else if (auto inDownloads = std::find_if(downloads_.begin(), downloads_.end(), sameId);
                   inDownloads != downloads_.end()) {
            existing = inDownloads->get();
        }
        if (existing != nullptr) {
            VORN_LOG(LogLevel::Info) << "Item already in playlist " << id;
            if (existingRating != nullptr) {
                *existingRating = existing->Rating();
            }
            const bool upNext = inList != playList_.end() && PutUpNext(inList);
            if (putUpNext != nullptr) {
                *putUpNext = upNext;
            }
            return existing;
        }
        if (!CheckMediaFolder()) {
            // A download would create the missing folder afresh, cut off from the library.
            VORN_LOG(LogLevel::Warning) << "VornPlaylist : Media folder not available: " << mediaFolder_
                                        << " ; not downloading item " << id;
            return nullptr;
        }
        recommendation->ReplaceAngleBrackets();
        auto item = std::make_unique<VornPlaylistItem>(std::move(recommendation),
                                                       mediaFolder_ + RatingFolder(0), this, preferences_);
        started = item.get();
        downloads_.push_back(std::move(item));
        // Started while the lock is held, so a download that fails at once finds
        // its item among the downloads. The item may be gone when this returns.
        started->StartDownload();
    }
    return nullptr;
}

bool VornPlaylist::PutUpNext(ItemList::iterator node) {
    VornPlaylistItem* item = node->get();
    if (item->Rating() < kPutUpAtLeast || item == currentItem_) {
        return false;
    }
    if (!FileExists(item->FullPath())) {
        VORN_LOG(LogLevel::Warning) << "VornPlaylist : Item " << item->ItemId()
                                    << " not played again: its file is missing: " << item->FullPath();
        return false;
    }
    for (auto waiting = cursor_; waiting != playList_.end(); ++waiting) {
        if (waiting == node) {
            return true;  // already waiting its turn
        }
    }
    // Where a finished download goes: after what already waits, first when nothing does.
    playList_.splice(playList_.end(), playList_, node);
    if (cursor_ == playList_.end()) {
        cursor_ = node;
    }
    MarkChanged();
    return true;
}

bool VornPlaylist::FindRating(std::int32_t itemId, std::int32_t& rating) {
    std::lock_guard lock(lock_);
    const auto sameId = [itemId](const auto& item) { return item->ItemId() == itemId; };
    if (auto inList = std::find_if(playList_.begin(), playList_.end(), sameId); inList != playList_.end()) {
        rating = (*inList)->Rating();
        return true;
    }
    if (auto inDownloads = std::find_if(downloads_.begin(), downloads_.end(), sameId); inDownloads != downloads_.end()) {
        rating = (*inDownloads)->Rating();
        return true;
    }
    return false;
}

void VornPlaylist::OnItemProgress(VornPlaylistItem* item, std::int32_t percent) {
    // A busy playlist never holds a download back: give up after 100 ms. (Polled
    // with try_lock rather than a timed lock, which the thread checker cannot follow.)
    std::unique_lock lock(lock_, std::try_to_lock);
    for (int waited = 0; !lock.owns_lock() && waited < 100; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        lock.try_lock();
    }
    if (!lock.owns_lock()) {
        return;
    }
    if (leadingDownload_ == nullptr || percent > leadingPercent_) {
        leadingDownload_ = item;
        leadingPercent_ = percent;
        if (listener_ != nullptr) {
            listener_->OnDownloadProgress(percent);
        }
    }
}

void VornPlaylist::OnItemFinished(VornPlaylistItem* item) {
    std::lock_guard lock(lock_);
    auto found = std::find_if(downloads_.begin(), downloads_.end(),
                              [item](const auto& d) { return d.get() == item; });
    if (found == downloads_.end()) {
        return;  // being stopped by whoever took it out of the downloads
    }
    if (leadingDownload_ == item) {
        leadingDownload_ = nullptr;
    }
    const ItemStatusRecord status = item->StatusRecord();
    if (status.status == ItemStatus::Downloaded) {
        // The finished retriever (its thread, stack and buffer) is freed by the
        // next Reap rather than kept for the item's whole life; this thread is
        // its worker and cannot join itself.
        graveyard_.Bury(item->TakeRetriever());
        std::unique_ptr<VornPlaylistItem> owned = std::move(*found);
        downloads_.erase(found);
        const bool cursorAtEnd = cursor_ == playList_.end();
        playList_.push_back(std::move(owned));
        if (cursorAtEnd) {
            cursor_ = std::prev(playList_.end());
        }
        MarkChanged();
        VORN_LOG(LogLevel::Info) << "File Downloaded : " << item->FullPath();
        if (listener_ != nullptr) {
            listener_->OnItemDownloaded();
        }
        return;
    }
    VORN_LOG(LogLevel::Severe) << "Item download failed : " << item->FullPath() << " status = "
                               << static_cast<std::int32_t>(status.status);
    std::unique_ptr<VornPlaylistItem> failed = RemoveItem(item);
    if (listener_ != nullptr) {
        listener_->OnDownloadFailed(item);
    }
    failed.reset();  // the item's retriever goes to the graveyard: its thread is this one
}

VornPlaylistItem* VornPlaylist::NextItem() {
    std::lock_guard lock(lock_);
    if (!MediaFolderAvailable()) {
        return nullptr;  // the current item is filed once the folder is back
    }
    VornPlaylistItem* result = nullptr;
    if (playList_.empty()) {
        VORN_LOG(LogLevel::Info) << "Playlist Empty";
    } else if (cursor_ != playList_.end()) {
        result = cursor_->get();
        ++cursor_;
    } else {
        const std::int64_t now = clock_.NowSeconds();
        for (auto it = playList_.begin(); it != playList_.end(); ++it) {
            if ((*it)->Rating() < 4 && now - (*it)->LastPlayed() > kReplayAfterSeconds) {
                result = it->get();
                playList_.splice(playList_.end(), playList_, it);  // the cursor stays at the end
                break;
            }
        }
    }
    FileByRating(currentItem_);
    currentItem_ = result;
    if (result != nullptr) {
        result->SetLastPlayed(static_cast<std::int32_t>(clock_.NowSeconds()));
        MarkChanged();  // the time, and the play order when it came round again
    }
    return result;
}

VornPlaylistItem* VornPlaylist::PreviousItem() {
    std::lock_guard lock(lock_);
    if (!MediaFolderAvailable()) {
        return nullptr;
    }
    VornPlaylistItem* result = nullptr;
    if (cursor_ != playList_.begin()) {
        --cursor_;
        result = cursor_->get();
    }
    FileByRating(currentItem_);
    currentItem_ = result;
    return result;
}

VornPlaylistItem* VornPlaylist::CurrentItem() {
    std::lock_guard lock(lock_);
    return currentItem_;
}

void VornPlaylist::FileByRating(VornPlaylistItem* item) {
    if (item == nullptr) {
        return;
    }
    const std::int32_t rating = item->Rating();
    if (rating < 1 || rating > 5) {
        return;
    }
    if (!IsRatingFolder(item->Location())) {
        VORN_LOG(LogLevel::Warning) << "VornPlaylist : Not moving " << item->FullPath()
                                    << ": it lies outside the media folder's rating folders";
        return;
    }
    const std::string oldFolder = item->Location();
    const std::string oldPath = item->FullPath();
    const std::string folder = mediaFolder_ + RatingFolder(rating);
    if (oldFolder != folder) {
        MarkChanged();
    }
    item->SetLocation(folder);
    std::error_code ignored;
    fs::create_directory(folder, ignored);  // removed by hand meanwhile; the media folder itself is never made here
    fs::rename(oldPath, item->FullPath(), ignored);
    MoveArt(*item, oldFolder, folder);
}

void VornPlaylist::EraseNode(ItemList::iterator node) {
    if (node == cursor_) {
        ++cursor_;
    }
    if (node->get() == currentItem_) {
        currentItem_ = nullptr;
    }
    if (node->get() == leadingDownload_) {
        leadingDownload_ = nullptr;
    }
    playList_.erase(node);
    MarkChanged();
}

std::unique_ptr<VornPlaylistItem> VornPlaylist::RemoveItem(VornPlaylistItem* item) {
    std::unique_ptr<VornPlaylistItem> removed;
    std::lock_guard lock(lock_);
    for (auto it = playList_.begin(); it != playList_.end();) {
        if (it->get() == item) {
            auto next = std::next(it);
            removed = std::move(*it);
            EraseNode(it);
            it = next;
        } else {
            ++it;
        }
    }
    for (auto it = downloads_.begin(); it != downloads_.end();) {
        if (it->get() == item) {
            removed = std::move(*it);
            it = downloads_.erase(it);
        } else {
            ++it;
        }
    }
    if (item == currentItem_) {
        currentItem_ = nullptr;
    }
    if (item == leadingDownload_) {
        leadingDownload_ = nullptr;
    }
    if (removed) {
        // A location comes from "pl.txt", which may be damaged or edited by hand.
        if (IsRatingFolder(removed->Location())) {
            RemoveFileQuietly(removed->FullPath());
            for (const std::string& name : removed->ArtFileNames()) {
                RemoveFileQuietly(removed->Location() + name);
            }
        } else {
            VORN_LOG(LogLevel::Warning) << "VornPlaylist : Not deleting " << removed->FullPath()
                                        << ": it lies outside the media folder's rating folders";
        }
    }
    return removed;
}

std::int32_t VornPlaylist::UnplayedCount(bool all) {
    std::lock_guard lock(lock_);
    if (all) {
        return static_cast<std::int32_t>(playList_.size());
    }
    const auto unrated = std::count_if(playList_.begin(), playList_.end(),
                                       [](const auto& item) { return item->Rating() == 0; });
    return static_cast<std::int32_t>(unrated + static_cast<std::ptrdiff_t>(downloads_.size()));
}

bool VornPlaylist::RelocateItems() {
    std::lock_guard lock(lock_);
    if (!CheckMediaFolder()) {
        return false;  // every file would look missing: keep the library for the folder's return
    }
    for (auto it = playList_.begin(); it != playList_.end();) {
        VornPlaylistItem& item = **it;
        const bool inRatingFolder = IsRatingFolder(item.Location());
        if (inRatingFolder && FileExists(item.FullPath())) {
            ++it;
            continue;
        }
        bool found = false;
        for (std::int32_t rating = 0; rating <= 5 && !found; ++rating) {
            const std::string folder = mediaFolder_ + RatingFolder(rating);
            if (FileExists(folder + item.FileName())) {
                if (inRatingFolder) {
                    MoveArt(item, item.Location(), folder);  // the track's picture goes where it went
                }
                item.SetRating(rating);
                item.SetLocation(folder);
                MarkChanged();
                found = true;
            }
        }
        if (found) {
            ++it;
        } else {
            if (!inRatingFolder) {
                VORN_LOG(LogLevel::Warning) << "VornPlaylist : Item " << item.ItemId() << " at " << item.FullPath()
                                            << " is not in the media folder's rating folders; dropped";
            }
            auto next = std::next(it);
            EraseNode(it);
            it = next;
        }
    }
    return true;
}

bool VornPlaylist::Load(const std::string& fileName) {
    std::error_code error;
    const fs::file_status status = fs::status(fileName, error);
    if (status.type() == fs::file_type::not_found) {
        return false;  // a first start
    }
    if (error || status.type() != fs::file_type::regular) {
        KeepUnreadFile(fileName);
        return false;
    }
    std::ifstream in(fileName, std::ios::binary);
    if (!in.is_open()) {
        KeepUnreadFile(fileName);
        return false;
    }
    {
        std::lock_guard lock(lock_);
        std::set<std::int32_t> ids;
        for (const auto& item : playList_) {
            ids.insert(item->ItemId());
        }
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            std::unique_ptr<VornPlaylistItem> item = VornPlaylistItem::FromXml(XmlElement(line));
            if (!item) {
                continue;
            }
            if (!ids.insert(item->ItemId()).second) {  // the first record of an item counts
                VORN_LOG(LogLevel::Warning) << "VornPlaylist : Ignoring another record of item " << item->ItemId()
                                            << " in " << fileName;
                continue;
            }
            if (item->Rating() == 0) {
                playList_.push_back(std::move(item));
            } else {
                playList_.push_front(std::move(item));
            }
        }
        cursor_ = playList_.end();
    }
    if (in.bad()) {
        KeepUnreadFile(fileName);  // what was read stays; the rest is still in the file
    }
    RelocateItems();
    return true;
}

void VornPlaylist::KeepUnreadFile(const std::string& fileName) {
    VORN_LOG(LogLevel::Warning) << "VornPlaylist : Could not read " << fileName
                                << "; it is kept as it is and not written this session";
    std::lock_guard lock(lock_);
    unreadFile_ = fileName;
}

bool VornPlaylist::Save(const std::string& fileName) {
    // Taken before the snapshot, so that a later save never writes an older one.
    std::lock_guard saving(saveMutex_);
    std::string content;
    {
        std::lock_guard lock(lock_);
        if (fileName == unreadFile_) {
            return false;  // would replace records that could not be read with fewer
        }
        for (const auto& item : playList_) {
            std::string line = item->ToXml().Text();
            // A line break inside a value would split the record in two and lose it.
            std::replace(line.begin(), line.end(), '\n', ' ');
            std::replace(line.begin(), line.end(), '\r', ' ');
            content += line;
            content += '\n';
        }
    }
    const std::string temporary = fileName + ".new";
    if (!WriteDurably(temporary, content)) {
        VORN_LOG(LogLevel::Warning) << "VornPlaylist : Could not write " << temporary;
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return false;
    }
    std::error_code error;
    fs::rename(temporary, fileName, error);
    if (error) {
        VORN_LOG(LogLevel::Warning) << "VornPlaylist : Could not replace " << fileName;
        fs::remove(temporary, error);
        return false;
    }
    SyncFolderOf(fileName);
    ++saves_;
    return true;
}

std::string VornPlaylist::MediaFolder() {
    std::lock_guard lock(lock_);
    return mediaFolder_;
}

std::int32_t VornPlaylist::PurgeBelow(std::int32_t threshold) {
    std::vector<std::unique_ptr<VornPlaylistItem>> purged;
    std::vector<std::string> keep;
    std::string folder;
    {
        std::lock_guard lock(lock_);
        if (!CheckMediaFolder()) {
            VORN_LOG(LogLevel::Warning) << "VornPlaylist : Media folder not available: " << mediaFolder_
                                        << " ; nothing purged";
            return 0;
        }
        // The current item is filed when playback moves on, so its file may still
        // lie in a low folder: a 2-star item that came round again and was rated 4.
        FileByRating(currentItem_);
        std::vector<VornPlaylistItem*> low;
        for (const auto& item : playList_) {
            if (item->Rating() > 0 && item->Rating() < threshold) {
                low.push_back(item.get());
            }
        }
        for (VornPlaylistItem* item : low) {
            purged.push_back(RemoveItem(item));
        }
        // Whatever still belongs to the library stays, wherever its file is.
        const auto keepFiles = [&keep](const VornPlaylistItem& item) {
            keep.push_back(item.FileName());
            for (std::string& name : item.ArtFileNames()) keep.push_back(std::move(name));
        };
        for (const auto& item : playList_) {
            keepFiles(*item);
        }
        for (const auto& item : downloads_) {
            keepFiles(*item);
        }
        folder = mediaFolder_;
    }
    purged.clear();
    for (std::int32_t rating = 1; rating <= 5; ++rating) {
        if (threshold > rating) {
            DeleteFilesIn(folder + RatingFolder(rating), keep);
        }
    }
    return 0;
}

bool VornPlaylist::DeleteFilesIn(const std::string& folder) { return DeleteFilesIn(folder, {}); }

bool VornPlaylist::DeleteFilesIn(const std::string& folder, const std::vector<std::string>& keep) {
    std::error_code error;
    fs::directory_iterator it(folder, error);
    if (error) {
        return false;
    }
    for (const fs::directory_iterator end; it != end; it.increment(error)) {
        if (error) {
            return false;
        }
        std::error_code ignored;
        if (!it->is_directory(ignored) &&
            std::find(keep.begin(), keep.end(), it->path().filename().string()) == keep.end()) {
            fs::remove(it->path(), ignored);
        }
    }
    return !error;
}

bool VornPlaylist::MoveMediaFolder(const std::string& requested) {
    Preferences& preferences = Preferences::Global();
    const std::string newFolder = WithTrailingSeparator(requested);
    const std::string old = MediaFolder();
    std::error_code error;
    const bool existed = fs::exists(newFolder, error);
    fs::create_directories(newFolder, error);
    if (error || !fs::is_directory(newFolder, error)) {
        VORN_LOG(LogLevel::Warning) << "VornPlaylist : Could not create media folder " << newFolder;
        preferences.SetMediaDir(old);
        return false;
    }

    // The same folder under another name: nothing to move. One folder inside the
    // other: copying would never end and deleting the old one would take the copy.
    const fs::path oldPath = fs::weakly_canonical(old, error);
    const fs::path newPath = fs::weakly_canonical(newFolder, error);
    if (fs::equivalent(oldPath, newPath, error)) {
        {
            std::lock_guard lock(lock_);
            mediaFolder_ = newFolder;
            RelocateItems();
        }
        Save(playlistFile_);  // never under the playlist's lock (see Save)
        return true;
    }
    const auto inside = [](const fs::path& inner, const fs::path& outer) {
        const auto rel = inner.lexically_relative(outer);
        return !rel.empty() && *rel.begin() != "..";
    };
    if (inside(newPath, oldPath) || inside(oldPath, newPath)) {
        VORN_LOG(LogLevel::Warning) << "VornPlaylist : Cannot move the media folder into itself: " << newFolder;
        preferences.SetMediaDir(old);
        if (!existed) fs::remove(newFolder, error);
        return false;
    }

    StopDownloads();

    std::vector<fs::path> created;
    if (!CopyTree(old, newFolder, created)) {
        VORN_LOG(LogLevel::Warning) << "VornPlaylist : Moving the media folder to " << newFolder
                                    << " failed; the library stays in " << old;
        preferences.SetMediaDir(old);
        for (auto it = created.rbegin(); it != created.rend(); ++it) {
            fs::remove(*it, error);
        }
        if (!existed) fs::remove(newFolder, error);
        return false;
    }
    std::vector<fs::path> oldEntries;
    for (fs::directory_iterator it(old, error), end; !error && it != end; it.increment(error)) {
        oldEntries.push_back(it->path());
    }
    for (const fs::path& entry : oldEntries) {
        fs::remove_all(entry, error);
    }
    {
        std::lock_guard lock(lock_);
        mediaFolder_ = newFolder;
        RelocateItems();
    }
    Save(playlistFile_);
    return true;
}

}  // namespace vorn
