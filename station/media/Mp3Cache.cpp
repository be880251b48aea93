#include "station/media/Mp3Cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "station/base/StationLog.h"

namespace fs = std::filesystem;

namespace vorn::station {
namespace {

constexpr const char* kMade = ".mp3";
constexpr const char* kPart = ".part";

}  // namespace

std::string Mp3Cache::Megabytes(std::uint64_t bytes) {
    const std::uint64_t tenths = (bytes * 10 + 512 * 1024) / (1024 * 1024);
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " MB";
}

Mp3Cache::Mp3Cache(std::string folder, std::uint64_t limitBytes) : folder_(std::move(folder)), limit_(limitBytes) {}

std::string Mp3Cache::KeyOf(const ItemRecord& item) {
    return std::to_string(item.id) + "-" + std::to_string(item.fileSize) + "-" + std::to_string(item.modified);
}

std::string Mp3Cache::PathOf(const std::string& key) const { return folder_ + "/" + key + kMade; }

std::string Mp3Cache::PartPath(const std::string& key) const { return folder_ + "/" + key + kPart; }

bool Mp3Cache::Open(std::string& error) {
    std::error_code code;
    fs::create_directories(folder_, code);
    fs::directory_iterator it(folder_, code);
    if (code) {
        error = "cannot use the MP3 cache " + folder_ + ": " + code.message();
        return false;
    }
    struct Found {
        std::string key;
        std::uint64_t bytes;
        std::int64_t used;  // nanoseconds since the epoch
    };
    std::vector<Found> found;
    for (; it != fs::directory_iterator(); it.increment(code)) {
        if (code) {
            error = "cannot read the MP3 cache " + folder_ + ": " + code.message();
            return false;
        }
        const fs::path& path = it->path();
        struct stat facts {};
        if (::lstat(path.c_str(), &facts) != 0 || !S_ISREG(facts.st_mode)) {
            continue;
        }
        const std::string extension = path.extension().string();
        // Left half made by a station that stopped or failed meanwhile, or
        // made empty by a crash before its data reached the disk.
        if (extension == kPart || (extension == kMade && facts.st_size == 0)) {
            ::unlink(path.c_str());
        } else if (extension == kMade) {
            found.push_back({path.stem().string(), static_cast<std::uint64_t>(facts.st_size),
                             static_cast<std::int64_t>(facts.st_mtim.tv_sec) * 1000000000 + facts.st_mtim.tv_nsec});
        }
    }
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.used > b.used; });
    std::lock_guard lock(mutex_);
    used_.clear();
    entries_.clear();
    bytes_ = 0;
    for (const Found& file : found) {
        used_.push_back({file.key, file.bytes});
        entries_[file.key] = std::prev(used_.end());
        bytes_ += file.bytes;
    }
    Evict("");
    STATION_LOG(LogLevel::Info) << "Mp3Cache : " << used_.size() << " MP3s made before, " << Megabytes(bytes_)
                                << " of at most " << Megabytes(limit_) << ", in " << folder_;
    return true;
}

bool Mp3Cache::Take(const std::string& key, UniqueFd& file, std::uint64_t& length) {
    std::lock_guard lock(mutex_);
    const auto entry = entries_.find(key);
    if (entry == entries_.end()) {
        return false;
    }
    UniqueFd opened(::open(PathOf(key).c_str(), O_RDONLY | O_CLOEXEC));
    struct stat facts {};
    if (!opened.Valid() || ::fstat(opened.Get(), &facts) != 0) {
        STATION_LOG(LogLevel::Warning) << "Mp3Cache : " << PathOf(key) << " is gone : " << std::strerror(errno);
        bytes_ -= entry->second->bytes;
        used_.erase(entry->second);
        entries_.erase(entry);
        return false;
    }
    // The time of its last use, which the next start reads back.
    ::futimens(opened.Get(), nullptr);
    used_.splice(used_.begin(), used_, entry->second);
    file = std::move(opened);
    length = static_cast<std::uint64_t>(facts.st_size);
    return true;
}

bool Mp3Cache::Has(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return entries_.count(key) != 0;
}

bool Mp3Cache::Keep(const std::string& key, UniqueFd& file, std::uint64_t& length, std::string& error) {
    const std::string part = PartPath(key);
    UniqueFd made(::open(part.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat facts {};
    // On the disk before it is named, so that a power cut never leaves a
    // complete name on an incomplete file.
    if (!made.Valid() || ::fsync(made.Get()) != 0 || ::fstat(made.Get(), &facts) != 0) {
        error = "cannot keep a made MP3 in " + folder_ + ": " + std::strerror(errno);
        ::unlink(part.c_str());
        return false;
    }
    std::lock_guard lock(mutex_);
    if (::rename(part.c_str(), PathOf(key).c_str()) != 0) {
        error = "cannot keep a made MP3 in " + folder_ + ": " + std::strerror(errno);
        ::unlink(part.c_str());
        return false;
    }
    if (const auto entry = entries_.find(key); entry != entries_.end()) {
        bytes_ -= entry->second->bytes;
        used_.erase(entry->second);
        entries_.erase(entry);
    }
    used_.push_front({key, static_cast<std::uint64_t>(facts.st_size)});
    entries_[key] = used_.begin();
    bytes_ += static_cast<std::uint64_t>(facts.st_size);
    Evict(key);
    file = std::move(made);
    length = static_cast<std::uint64_t>(facts.st_size);
    return true;
}

void Mp3Cache::Evict(const std::string& keep) {
    while (bytes_ > limit_ && !used_.empty() && used_.back().key != keep) {
        const Entry& oldest = used_.back();
        if (::unlink(PathOf(oldest.key).c_str()) != 0 && errno != ENOENT) {
            STATION_LOG(LogLevel::Warning) << "Mp3Cache : cannot delete " << PathOf(oldest.key) << " : "
                                           << std::strerror(errno);
        }
        STATION_LOG(LogLevel::Fine) << "Mp3Cache : " << oldest.key << kMade << " made room";
        bytes_ -= oldest.bytes;
        entries_.erase(oldest.key);
        used_.pop_back();
    }
}

std::uint64_t Mp3Cache::Bytes() const {
    std::lock_guard lock(mutex_);
    return bytes_;
}

std::size_t Mp3Cache::Files() const {
    std::lock_guard lock(mutex_);
    return used_.size();
}

}  // namespace vorn::station
