#include "station/media/ArtCache.h"

#include <glib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/DurableFile.h"
#include "station/base/StationLog.h"

namespace fs = std::filesystem;

namespace vorn::station {
namespace {

constexpr std::size_t kKeyLength = 32;
constexpr const char* kSuffix = ".jpg";

}  // namespace

ArtCache::ArtCache(std::string folder) : folder_(std::move(folder)) {}

bool ArtCache::Open(std::string& error) {
    std::error_code code;
    fs::create_directories(folder_, code);
    if (code || !fs::is_directory(folder_, code)) {
        error = "cannot create the art folder " + folder_ + (code ? ": " + code.message() : "");
        return false;
    }
    std::unordered_set<std::string> keys;
    for (fs::directory_iterator it(folder_, code), end; !code && it != end; it.increment(code)) {
        const std::string name = it->path().filename().string();
        if (name.size() == kKeyLength + 4 && name.compare(kKeyLength, 4, kSuffix) == 0 &&
            IsKey(std::string_view(name).substr(0, kKeyLength))) {
            keys.insert(name.substr(0, kKeyLength));
        } else if (name.size() > kKeyLength + 5 && name.compare(kKeyLength, 5, ".jpg.") == 0 &&
                   IsKey(std::string_view(name).substr(0, kKeyLength))) {
            std::error_code ignored;
            fs::remove(it->path(), ignored);  // a picture a stopped station left half written
        }
    }
    if (code) {
        error = "cannot read the art folder " + folder_ + ": " + code.message();
        return false;
    }
    std::lock_guard lock(mutex_);
    keys_ = std::move(keys);
    open_ = true;
    return true;
}

std::string ArtCache::KeyOf(std::string_view picture) {
    gchar* digest = g_compute_checksum_for_data(G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(picture.data()),
                                                picture.size());
    std::string key = digest != nullptr ? std::string(digest).substr(0, kKeyLength) : std::string();
    g_free(digest);
    return key;
}

bool ArtCache::IsKey(std::string_view text) {
    if (text.size() != kKeyLength) {
        return false;
    }
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

bool ArtCache::Has(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return keys_.count(key) != 0;
}

std::string ArtCache::FileOf(const std::string& key) const {
    return Has(key) ? folder_ + "/" + key + kSuffix : std::string();
}

bool ArtCache::Put(const std::string& key, const std::string& jpeg, std::string& error) {
    {
        std::lock_guard lock(mutex_);
        if (!open_ || !IsKey(key)) {
            error = open_ ? "not a picture key: " + key : "the art folder is not open";
            return false;
        }
    }
    // Two workers may store the same picture at once: each writes a file of
    // its own aside, and the last rename wins with the same bytes.
    const std::string file = folder_ + "/" + key + kSuffix;
    if (!ReplaceFileDurably(file, jpeg, 0644)) {
        error = "cannot write " + file + ": " + std::strerror(errno);
        return false;
    }
    std::lock_guard lock(mutex_);
    keys_.insert(key);
    return true;
}

int ArtCache::RemoveAllBut(const std::unordered_set<std::string>& keep) {
    std::vector<std::string> gone;
    {
        std::lock_guard lock(mutex_);
        for (auto it = keys_.begin(); it != keys_.end();) {
            if (keep.count(*it) == 0) {
                gone.push_back(*it);
                it = keys_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const std::string& key : gone) {
        ::unlink((folder_ + "/" + key + kSuffix).c_str());
    }
    if (!gone.empty()) {
        STATION_LOG(LogLevel::Info) << "ArtCache : " << gone.size() << " pictures no item shows any more removed from "
                                    << folder_;
    }
    return static_cast<int>(gone.size());
}

}  // namespace vorn::station
