#include "station/catalogue/CatalogueScan.h"

#include <malloc.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <tuple>

#include "station/base/StationLog.h"
#include "station/catalogue/AudioFormat.h"
#include "station/catalogue/NamesFromPath.h"
#include "station/catalogue/TagReader.h"

namespace vorn::station {
namespace {

// Print hashes of one recording differ in a few bits (none to two between
// lossless and lossy copies), those of unrelated recordings in about half of
// them: a first sieve before the prints themselves are compared.
constexpr int kMostHashBits = 8;
// Prints waiting in memory before they are stored.
constexpr std::size_t kPrintBatch = 256;

// A key for a file whose first seconds sound as another item's but whose
// playing time differs (an edit of the same recording): the same for every
// such file of that time.
std::uint64_t KeyForLength(std::uint64_t key, std::int32_t seconds) {
    const std::uint64_t mixed = key ^ (0x9E3779B97F4A7C15ull * (static_cast<std::uint64_t>(seconds) + 1));
    return mixed == 0 ? 1 : mixed;
}

std::string FileName(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace

std::int32_t LengthSlack(std::int32_t seconds) { return std::max(2, seconds / 50); }

CatalogueTally CatalogueTally::Of(const std::vector<ItemRecord>& items, const std::vector<FileRecord>& files) {
    CatalogueTally tally;
    int playableFiles = 0;
    for (const ItemRecord& item : items) {
        if (item.present) {
            ++tally.formats[item.format];
        }
    }
    for (const FileRecord& file : files) {
        if (file.skipped == SkipReason::None) {
            ++playableFiles;
        } else {
            ++tally.skipped[static_cast<std::size_t>(file.skipped)];
        }
    }
    tally.copies = std::max(0, playableFiles - tally.Playable());
    return tally;
}

int CatalogueTally::Playable() const {
    int count = 0;
    for (const auto& [format, items] : formats) count += items;
    return count;
}

int CatalogueTally::Skipped() const { return skipped[1] + skipped[2] + skipped[3]; }

std::string CatalogueTally::Line() const {
    std::vector<std::pair<std::string, int>> byCount(formats.begin(), formats.end());
    std::stable_sort(byCount.begin(), byCount.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    std::string line = std::to_string(Playable()) + " playable items";
    if (!byCount.empty()) {
        line += " (";
        for (std::size_t at = 0; at < byCount.size(); ++at) {
            line += (at > 0 ? ", " : "") + (byCount[at].first.empty() ? "mp3" : byCount[at].first) + " " +
                    std::to_string(byCount[at].second);
        }
        line += ")";
    }
    line += "; skipped " + std::to_string(Skipped()) + " files (unreadable " +
            std::to_string(skipped[static_cast<std::size_t>(SkipReason::Unreadable)]) + ", not audio " +
            std::to_string(skipped[static_cast<std::size_t>(SkipReason::NotAudio)]) + ", no decoder " +
            std::to_string(skipped[static_cast<std::size_t>(SkipReason::NoDecoder)]) + ")";
    if (copies > 0) {
        line += "; " + std::to_string(copies) + (copies == 1 ? " file is a copy" : " files are copies") +
                " of other items";
    }
    return line;
}

CatalogueScan::CatalogueScan(StationStore& store, const CatalogueSnapshot& before,
                             const std::vector<FileRecord>& files, std::string musicDir)
    : store_(store), before_(before), musicDir_(std::move(musicDir)) {
    cached_.reserve(files.size());
    files_.reserve(files.size());
    groupOfFile_.reserve(files.size());
    known_.reserve(before.Entries().size());
    knownOfId_.reserve(before.Entries().size());
    byContent_.reserve(before.Entries().size());
    for (const FileRecord& file : files) {
        cached_.emplace(file.path, Cached{&file, false});
    }
    for (const CatalogueEntry& entry : before.Entries()) {
        const ItemRecord& record = entry.record;
        if (record.content == 0) {
            oldByPath_.emplace(record.path, record.id);
            oldBySize_[record.fileSize].push_back(record.id);
        }
        AddKnown({record.id, record.content, record.printHash, record.lengthSeconds, kNone}, nullptr);
    }
}

std::size_t CatalogueScan::AddKnown(Known known, const std::vector<std::uint32_t>* print) {
    const std::size_t index = known_.size();
    known_.push_back(known);
    if (known.id != 0) {
        knownOfId_.emplace(known.id, index);
    }
    if (known.content != 0) {
        byContent_.emplace(known.content, index);
        if (known.printHash != 0) {
            bySeconds_[known.seconds].push_back(index);
        }
    }
    if (print != nullptr && known.content != 0 && known.printHash != 0) {
        pendingPrints_.push_back({known.content, *print});
        if (pendingPrints_.size() >= kPrintBatch) {
            FlushPrints();
        }
    }
    return index;
}

bool CatalogueScan::FlushPrints() {
    if (!pendingPrints_.empty() && !store_.StorePrints(pendingPrints_)) {
        printsFailed_ = true;
    }
    pendingPrints_.clear();
    return !printsFailed_;
}

void CatalogueScan::NotAsStored(const std::vector<std::int32_t>& recoded, const std::vector<std::int32_t>& heldOut) {
    recoded_.insert(recoded.begin(), recoded.end());
    heldOut_.insert(heldOut.begin(), heldOut.end());
}

void CatalogueScan::Add(const std::string& path, std::int64_t size, std::int64_t modified) {
    const auto cached = cached_.find(path);
    if (cached != cached_.end()) {
        cached->second.seen = true;
    }
    if (cached != cached_.end() && cached->second.file->fileSize == size && cached->second.file->modified == modified) {
        const FileRecord& file = *cached->second.file;
        const auto known = knownOfId_.find(file.item);
        if (file.skipped != SkipReason::None) {
            ++tally_.skipped[static_cast<std::size_t>(file.skipped)];
            files_.push_back(file);
            groupOfFile_.push_back(kNone);
            return;
        }
        if (known != knownOfId_.end()) {
            byContent_.emplace(file.content, known->second);  // so that another copy of it is found at once
            const std::size_t group = GroupOf(known->second);
            files_.push_back(file);
            groupOfFile_.push_back(group);
            Offer(group, files_.size() - 1, nullptr);
            return;
        }
    }
    MusicFile music = InspectMusicFile(path, size, modified, musicDir_);
    Place(music);
    // Reading a file leaves what its decoding used free in the arenas of the
    // threads GStreamer ran it on, in pieces between what lives on, which the
    // allocator keeps: a first scan of 100,000 files held over 600 MB so.
    if (++read_ % kReadsBetweenTrims == 0) {
        ::malloc_trim(0);
    }
}

void CatalogueScan::Keep(const std::string& path) {
    if (const auto cached = cached_.find(path); cached != cached_.end()) {
        Add(path, cached->second.file->fileSize, cached->second.file->modified);
    }
}

void CatalogueScan::Place(MusicFile& music) {
    if (music.file.skipped != SkipReason::None) {
        STATION_LOG(LogLevel::Warning) << "Catalogue : skipped (" << SkipReasonName(music.file.skipped)
                                       << ") : " << music.file.path << " : " << music.problem;
        ++tally_.skipped[static_cast<std::size_t>(music.file.skipped)];
        files_.push_back(music.file);
        groupOfFile_.push_back(kNone);
        return;
    }
    const std::size_t known = Resolve(music);
    byContent_.emplace(music.file.content, known);  // so that another copy of it is found at once
    const std::size_t group = GroupOf(known);
    files_.push_back(music.file);
    groupOfFile_.push_back(group);
    Offer(group, files_.size() - 1, &music.tags);
}

std::size_t CatalogueScan::Resolve(MusicFile& music) {
    const std::int32_t seconds = music.tags.lengthSeconds;
    if (const auto old = oldByPath_.find(music.file.path);
        old != oldByPath_.end() && oldClaimed_.insert(old->second).second) {
        const std::size_t known = knownOfId_.at(old->second);
        GiveKey(known, music);
        return known;
    }
    std::uint64_t key = music.file.content;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto same = byContent_.find(key);
        if (same == byContent_.end()) {
            break;
        }
        const Known& known = known_[same->second];
        if (std::abs(known.seconds - seconds) <= LengthSlack(std::max(known.seconds, seconds))) {
            return same->second;
        }
        key = KeyForLength(music.file.content, seconds);
    }
    if (const std::size_t match = ByPrint(music); match != kNone) {
        return match;
    }
    if (const std::size_t match = ByOldFacts(music); match != kNone) {
        return match;
    }
    const bool printed = IsInformative(music.print.print);
    return AddKnown({0, key, printed ? music.print.printHash : 0, seconds, kNone},
                    printed ? &music.print.print : nullptr);
}

std::size_t CatalogueScan::ByPrint(const MusicFile& music) {
    if (!IsInformative(music.print.print)) {
        return kNone;
    }
    const std::int32_t seconds = music.tags.lengthSeconds;
    const std::int32_t slack = LengthSlack(seconds);
    std::vector<std::size_t> candidates;
    for (std::int32_t at = seconds - slack; at <= seconds + slack; ++at) {
        const auto bucket = bySeconds_.find(at);
        if (bucket == bySeconds_.end()) {
            continue;
        }
        for (const std::size_t index : bucket->second) {
            if (std::popcount(known_[index].printHash ^ music.print.printHash) <= kMostHashBits) {
                candidates.push_back(index);
            }
        }
    }
    if (candidates.empty()) {
        return kNone;
    }
    // The prints of items this scan made may still wait to be stored.
    std::vector<SoundPrint> prints;
    std::vector<std::uint64_t> stored;
    for (const std::size_t index : candidates) {
        const std::uint64_t content = known_[index].content;
        const auto pending = std::find_if(pendingPrints_.begin(), pendingPrints_.end(),
                                          [&](const SoundPrint& print) { return print.content == content; });
        if (pending != pendingPrints_.end()) {
            prints.push_back(*pending);
        } else {
            stored.push_back(content);
        }
    }
    std::vector<SoundPrint> loaded;
    if (!stored.empty() && !store_.LoadPrints(stored, loaded)) {
        return kNone;
    }
    prints.insert(prints.end(), loaded.begin(), loaded.end());
    std::size_t best = kNone;
    double closest = kSameRecording;
    for (const SoundPrint& print : prints) {
        const double distance = PrintDistance(music.print.print, print.print);
        if (distance < closest) {
            closest = distance;
            best = byContent_.at(print.content);
        }
    }
    return best;
}

std::size_t CatalogueScan::ByOldFacts(const MusicFile& music) {
    const auto sized = oldBySize_.find(music.file.fileSize);
    if (sized == oldBySize_.end()) {
        return kNone;
    }
    for (const std::int32_t id : sized->second) {
        const CatalogueEntry* entry = before_.Find(id);
        if (entry == nullptr || oldClaimed_.count(id) != 0) {
            continue;
        }
        const ItemRecord& old = entry->record;
        const bool sameTags = !old.title.empty() && old.title == music.tags.title && old.artist == music.tags.artist;
        if (sameTags || FileName(old.path) == FileName(music.file.path)) {
            oldClaimed_.insert(id);
            const std::size_t known = knownOfId_.at(id);
            GiveKey(known, music);
            return known;
        }
    }
    return kNone;
}

void CatalogueScan::GiveKey(std::size_t index, const MusicFile& music) {
    if (byContent_.count(music.file.content) != 0) {
        return;
    }
    Known& known = known_[index];
    known.content = music.file.content;
    known.seconds = music.tags.lengthSeconds;
    const bool printed = IsInformative(music.print.print);
    known.printHash = printed ? music.print.printHash : 0;
    byContent_.emplace(known.content, index);
    if (printed) {
        bySeconds_[known.seconds].push_back(index);
        pendingPrints_.push_back({known.content, music.print.print});
    }
}

std::size_t CatalogueScan::GroupOf(std::size_t known) {
    if (known_[known].group == kNone) {
        known_[known].group = groups_.size();
        groups_.push_back({known, kNone, nullptr});
    }
    return known_[known].group;
}

void CatalogueScan::Offer(std::size_t index, std::size_t offered, const ItemRecord* tags) {
    Group& group = groups_[index];
    const FileRecord& file = files_[offered];
    const CatalogueEntry* before = known_[group.known].id != 0 ? before_.Find(known_[group.known].id) : nullptr;
    const auto rank = [&](const FileRecord& candidate) {
        const bool served = before != nullptr && before->record.path == candidate.path;
        return std::make_tuple(IsLossless(candidate.format), candidate.bitrate, served);
    };
    const bool better = group.best == kNone || rank(file) > rank(files_[group.best]) ||
                        (rank(file) == rank(files_[group.best]) && file.path < files_[group.best].path);
    if (!better) {
        return;
    }
    group.best = offered;
    group.tags = tags != nullptr ? std::make_unique<ItemRecord>(*tags) : nullptr;
}

ItemRecord CatalogueScan::RecordOf(const Group& group) const {
    const Known& known = known_[group.known];
    const CatalogueEntry* before = known.id != 0 ? before_.Find(known.id) : nullptr;
    const FileRecord& best = files_[group.best];
    ItemRecord record;
    if (group.tags != nullptr) {
        record = *group.tags;
    } else if (before != nullptr && before->record.path == best.path && before->record.fileSize == best.fileSize &&
               before->record.modified == best.modified) {
        record = before->record;
    } else {
        // A copy not served before, known from an earlier scan: only its tags are read.
        record.path = best.path;
        if (ReadTags(record) == SkipReason::None) {
            FillNamesFromPath(record, musicDir_);
        } else if (before != nullptr) {
            record = before->record;
        }
    }
    if (record.lengthSeconds <= 0 && before != nullptr) {
        record.lengthSeconds = before->record.lengthSeconds;
    }
    record.id = known.id;
    record.path = best.path;
    record.fileSize = best.fileSize;
    record.modified = best.modified;
    record.format = best.format;
    record.bitrate = best.bitrate;
    record.content = known.content;
    record.printHash = known.printHash;
    record.present = true;
    return record;
}

bool CatalogueScan::AsStored(const ItemRecord& record) const {
    const CatalogueEntry* before = record.id != 0 ? before_.Find(record.id) : nullptr;
    if (before == nullptr || recoded_.count(record.id) != 0) {
        return false;
    }
    if (heldOut_.count(record.id) == 0) {
        return record == before->record;
    }
    ItemRecord stored = before->record;
    stored.present = true;
    return record == stored;
}

void CatalogueScan::ChangedFiles(std::vector<FileRecord>& changed, std::vector<std::string>& removed) const {
    for (const FileRecord& file : files_) {
        const auto cached = cached_.find(file.path);
        if (cached == cached_.end() || !(*cached->second.file == file)) {
            changed.push_back(file);
        }
    }
    for (const auto& [path, cached] : cached_) {
        if (!cached.seen) {
            removed.emplace_back(path);
        }
    }
}

bool CatalogueScan::Store() {
    // Only what differs from the store is written: a rescan of an unchanged
    // library writes nothing, however large the library.
    std::vector<ItemRecord> changed;
    std::vector<std::size_t> groupOfChanged;
    std::vector<std::int32_t> idOfGroup(groups_.size(), 0);
    tally_.formats.clear();
    for (std::size_t at = 0; at < groups_.size(); ++at) {
        ItemRecord record = RecordOf(groups_[at]);
        ++tally_.formats[record.format];
        if (AsStored(record)) {
            idOfGroup[at] = record.id;
        } else {
            changed.push_back(std::move(record));
            groupOfChanged.push_back(at);
        }
    }
    std::vector<std::int32_t> gone;
    for (const Known& known : known_) {
        if (known.id != 0 && known.group == kNone) {
            const CatalogueEntry* entry = before_.Find(known.id);
            if (entry != nullptr && (entry->record.present || heldOut_.count(known.id) != 0)) {
                gone.push_back(known.id);
            }
        }
    }
    if (!FlushPrints() || !store_.UpdateItems(changed, gone)) {
        return false;
    }
    itemsChanged_ = !changed.empty() || !gone.empty();
    for (std::size_t at = 0; at < changed.size(); ++at) {
        idOfGroup[groupOfChanged[at]] = changed[at].id;
    }
    for (std::size_t at = 0; at < files_.size(); ++at) {
        files_[at].item = groupOfFile_[at] == kNone ? 0 : idOfGroup[groupOfFile_[at]];
    }
    tally_.copies = static_cast<int>(files_.size()) - tally_.Skipped() - static_cast<int>(groups_.size());
    // The items are stored; files the store could not keep are only read again.
    std::vector<FileRecord> changedFiles;
    std::vector<std::string> removed;
    ChangedFiles(changedFiles, removed);
    if (!store_.UpdateFiles(changedFiles, removed)) {
        STATION_LOG(LogLevel::Warning) << "Catalogue : cannot store what the scan found of each file; the next scan "
                                          "reads them again";
    }
    return true;
}

}  // namespace vorn::station
