#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>

namespace vorn::station {

// The station's pictures, scaled for listeners: one JPEG file per picture in
// a folder of the data folder, named by its key, the first 128 bits of the
// SHA-256 of the picture as the file gave it (32 lowercase hex digits). The
// tracks of an album that carry the same picture share one file, and a key
// names the same picture for good, so its URL may be cached for ever.
// Thread-safe.
class ArtCache {
public:
    explicit ArtCache(std::string folder);
    ArtCache(const ArtCache&) = delete;
    ArtCache& operator=(const ArtCache&) = delete;

    // Creates the folder when needed and lists the pictures it holds; false
    // with `error` set when it cannot be used (then nothing is stored).
    bool Open(std::string& error);

    static std::string KeyOf(std::string_view picture);
    // 32 lowercase hex digits: a key, and a safe file name.
    static bool IsKey(std::string_view text);

    bool Has(const std::string& key) const;
    // The file of a stored picture, "" when the cache does not hold it.
    std::string FileOf(const std::string& key) const;
    // Stores a JPEG under its key, whole or not at all (written aside, then
    // renamed); false with `error` set.
    bool Put(const std::string& key, const std::string& jpeg, std::string& error);
    // Deletes every picture whose key is not in `keep` (pictures no item
    // shows any more); returns how many went.
    int RemoveAllBut(const std::unordered_set<std::string>& keep);

private:
    const std::string folder_;
    mutable std::mutex mutex_;  // guards keys_ and open_
    std::unordered_set<std::string> keys_;
    bool open_ = false;
};

}  // namespace vorn::station
