#include "station/catalogue/Catalogue.h"

#include <malloc.h>

#include <filesystem>

#include "station/base/StationLog.h"
#include "station/base/Utf8Text.h"
#include "station/catalogue/AudioFormat.h"
#include "station/catalogue/CatalogueScan.h"

namespace fs = std::filesystem;

namespace vorn::station {
namespace {

std::string Normalised(const std::string& name) {
    std::string key;
    bool blank = false;
    for (char c : name) {
        if (c == ' ' || c == '\t') {
            blank = !key.empty();
            continue;
        }
        if (blank) {
            key += ' ';
            blank = false;
        }
        key += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    }
    return key;
}

std::string AbsoluteFolder(const std::string& folder) {
    std::error_code error;
    fs::path absolute = fs::absolute(folder, error);
    return error ? folder : absolute.lexically_normal().string();
}

}  // namespace

Catalogue::Catalogue(StationStore& store, std::string musicDir)
    : store_(store), musicDir_(musicDir.empty() ? std::string() : AbsoluteFolder(musicDir)) {
    current_ = std::make_shared<CatalogueSnapshot>(std::vector<CatalogueEntry>(), 0);
}

void Catalogue::Load() {
    std::lock_guard scan(scanMutex_);
    std::vector<ItemRecord> items = store_.LoadItems();
    const CatalogueTally tally = CatalogueTally::Of(items, store_.LoadFiles());
    PublishStored(std::move(items));
    if (tally.Playable() > 0 || tally.Skipped() > 0) {
        STATION_LOG(LogLevel::Info) << "Catalogue : " << tally.Line() << " (as last scanned)";
    }
}

int Catalogue::Rescan(const ScanHooks& hooks) {
    std::lock_guard scan(scanMutex_);
    CatalogueTally tally;
    bool changed = false;
    if (!ScanFolder(hooks, tally, changed)) {
        return -1;
    }
    // The scan's working set (every file's record, the maps that tell items
    // apart) is freed by now: hand it back before the new snapshot is laid
    // out, so that the snapshot is not spread over the holes it leaves and a
    // scan's peak of heap is not kept for the rest of the station's life.
    ::malloc_trim(0);
    if (changed) {
        PublishStored(store_.LoadItems());
        ::malloc_trim(0);  // the snapshot before, unless a reader still holds it
    }
    STATION_LOG(LogLevel::Info) << "Catalogue : " << tally.Line();
    if (tally.Playable() == 0) {
        STATION_LOG(LogLevel::Warning) << "Catalogue : no playable music in \"" << musicDir_
                                       << "\"; listeners get no recommendations until some is added";
    }
    return tally.Playable();
}

bool Catalogue::ScanFolder(const ScanHooks& hooks, CatalogueTally& tally, bool& changed) {
    std::error_code error;
    if (musicDir_.empty() || !fs::is_directory(musicDir_, error)) {
        STATION_LOG(LogLevel::Severe) << "Catalogue : the music folder \"" << musicDir_
                                      << "\" cannot be read; the catalogue stays as it was";
        return false;
    }
    const std::shared_ptr<const CatalogueSnapshot> before = Current();
    const std::vector<FileRecord> files = store_.LoadFiles();
    CatalogueScan scanning(store_, *before, files, musicDir_);
    scanning.NotAsStored(recoded_, heldOut_);
    FolderWalk::Visitor visitor;
    visitor.folder = hooks.enteringFolder;
    visitor.refused = [this](const std::string& path, const std::string& walkedAs, bool loop) {
        ReportRefusedLink(path, walkedAs, loop);
    };
    visitor.file = [&](const WalkedFile& file) {
        if (!HasAudioName(file.path)) {
            return;
        }
        if (hooks.stillWriting && hooks.stillWriting(file)) {
            scanning.Keep(file.path);
        } else {
            scanning.Add(file.path, file.size, file.modified);
        }
    };
    FolderWalk walk(musicDir_);
    if (!walk.Run(visitor)) {
        STATION_LOG(LogLevel::Severe) << "Catalogue : cannot scan \"" << musicDir_ << "\" : " << walk.Error();
        return false;
    }
    if (!scanning.Store()) {
        STATION_LOG(LogLevel::Severe) << "Catalogue : cannot store the scan of \"" << musicDir_ << "\"";
        return false;
    }
    tally = scanning.Tally();
    changed = scanning.ItemsChanged();
    return true;
}

bool Catalogue::Publish(std::vector<ItemRecord> found) {
    std::lock_guard scan(scanMutex_);
    if (!store_.SyncItems(found)) {
        return false;
    }
    PublishStored(store_.LoadItems());
    return true;
}

void Catalogue::PublishStored(std::vector<ItemRecord> all) {
    recoded_.clear();
    heldOut_.clear();
    PublishAll(std::move(all));
}

void Catalogue::PublishAll(std::vector<ItemRecord> all) {
    // A store written by an earlier station may hold tags and titles as the
    // files gave them; the pages and replies show them as UTF-8, and the next
    // scan stores them so.
    for (ItemRecord& record : all) {
        bool recoded = !IsUtf8(record.title);
        if (recoded) {
            record.title = AsUtf8(record.title);
        }
        for (SharedText* text : {&record.artist, &record.album, &record.genre}) {
            if (!IsUtf8(*text)) {
                *text = AsUtf8(*text);
                recoded = true;
            }
        }
        if (recoded) {
            recoded_.push_back(record.id);
        }
    }
    std::vector<CatalogueEntry> entries;
    entries.reserve(all.size());
    std::shared_ptr<const CatalogueSnapshot> before;
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        for (ItemRecord& record : all) {
            if (const auto bad = unplayable_.find(record.path);
                bad != unplayable_.end() && bad->second == std::make_pair(record.fileSize, record.modified)) {
                if (record.present) {
                    heldOut_.push_back(record.id);
                }
                record.present = false;
            }
            CatalogueEntry entry;
            const std::string artist = Normalised(record.artist);
            const std::string album = Normalised(record.album);
            entry.artist = artist.empty() ? kNoGroup : Intern("a\x1f" + artist);
            entry.album = album.empty() ? kNoGroup : Intern("l\x1f" + artist + "\x1f" + album);
            const std::string genre = Normalised(record.genre);
            entry.genre = genre.empty() ? kNoGroup : Intern("g\x1f" + genre);
            entry.record = std::move(record);
            entries.push_back(std::move(entry));
        }
        before = current_;
        generation = ++generation_;
    }
    auto snapshot = std::make_shared<CatalogueSnapshot>(std::move(entries), generation);
    snapshot->TakeCountsFrom(*before);
    std::lock_guard lock(mutex_);
    current_ = std::move(snapshot);
}

void Catalogue::ReportUnplayable(const ItemRecord& item) {
    {
        std::lock_guard lock(mutex_);
        unplayable_[item.path] = {item.fileSize, item.modified};
    }
    // Unlike a missing file, waits for a scan under way: that scan may have
    // published the item already, and only a publication after it keeps it out.
    std::lock_guard scan(scanMutex_);
    const std::shared_ptr<const CatalogueSnapshot> snapshot = Current();
    if (snapshot->FindLive(item.id) == nullptr) {
        return;
    }
    std::vector<ItemRecord> all;
    all.reserve(snapshot->Entries().size());
    for (const CatalogueEntry& entry : snapshot->Entries()) {
        all.push_back(entry.record);
    }
    PublishAll(std::move(all));
}

void Catalogue::ReportRefusedLink(const std::string& path, const std::string& walkedAs, bool loop) {
    // Every scan meets it again; once is news.
    const LogLevel level = linksReported_.insert(path).second ? LogLevel::Warning : LogLevel::Fine;
    STATION_LOG(level) << "Catalogue : \"" << path << "\" leads "
                       << (loop ? "back to \"" + walkedAs + "\", which holds it: a loop"
                                : "to \"" + walkedAs + "\", walked already")
                       << "; not followed";
}

GroupId Catalogue::Intern(const std::string& key) {
    const auto [it, added] = groups_.emplace(key, static_cast<GroupId>(groups_.size() + 1));
    return it->second;
}

std::shared_ptr<const CatalogueSnapshot> Catalogue::Current() const {
    std::lock_guard lock(mutex_);
    return current_;
}

bool Catalogue::FindMedia(std::int32_t id, ItemRecord& out) const {
    const std::shared_ptr<const CatalogueSnapshot> snapshot = Current();
    const CatalogueEntry* entry = snapshot->FindLive(id);
    if (entry == nullptr) {
        return false;
    }
    out = entry->record;
    return true;
}

void Catalogue::ReportMissing(std::int32_t id) {
    // Called while serving: never wait for a scan, which may take minutes. A
    // scan under way sees the file gone itself, or the next report comes after it.
    std::unique_lock scan(scanMutex_, std::try_to_lock);
    if (!scan.owns_lock()) {
        return;
    }
    const std::shared_ptr<const CatalogueSnapshot> snapshot = Current();
    if (snapshot->FindLive(id) == nullptr) {
        return;
    }
    STATION_LOG(LogLevel::Warning) << "Catalogue : the file of item " << id << " is gone; it is no longer recommended";
    store_.MarkMissing(id);
    std::vector<ItemRecord> all;
    all.reserve(snapshot->Entries().size());
    for (const CatalogueEntry& entry : snapshot->Entries()) {
        all.push_back(entry.record);
        if (entry.record.id == id) {
            all.back().present = false;
        }
    }
    PublishAll(std::move(all));
}

}  // namespace vorn::station
