#pragma once

#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

#include "station/base/UniqueFd.h"
#include "station/store/StationStore.h"

namespace vorn::station {

// The MP3s made of the items that are not MP3s, in a folder of their own
// that holds at most `limitBytes`: when a new one does not fit, the least
// recently used go first. The folder is its own index: a file's name is its
// key and its modification time its last use, so that a restarted station
// finds the cache as it was, ages included. A file enters under its key only
// once complete, so a half-made one is never served. Safe to use from several
// threads.
class Mp3Cache {
public:
    Mp3Cache(std::string folder, std::uint64_t limitBytes);
    Mp3Cache(const Mp3Cache&) = delete;
    Mp3Cache& operator=(const Mp3Cache&) = delete;

    // Makes the folder when missing, deletes what an interrupted run left
    // half made, reads the index and trims it to the limit; false with
    // `error` set when the folder cannot be made or read.
    bool Open(std::string& error);

    // The key of an item's MP3: it changes whenever the item's file does.
    static std::string KeyOf(const ItemRecord& item);
    // A size for the log, in MB with one decimal.
    static std::string Megabytes(std::uint64_t bytes);

    // The MP3 of `key`, opened and counted as used now; false when there is
    // none. The file stays readable through `file` even once evicted.
    bool Take(const std::string& key, UniqueFd& file, std::uint64_t& length);
    bool Has(const std::string& key) const;
    // Where the MP3 of `key` is made before it is kept.
    std::string PartPath(const std::string& key) const;
    // Moves the complete file at PartPath(key) into the cache as the most
    // recently used, opened for its first readers, then evicts the least
    // recently used others until the cache fits its limit (one file larger
    // than the limit stays alone until the next arrives). False with `error`
    // set when it cannot be kept.
    bool Keep(const std::string& key, UniqueFd& file, std::uint64_t& length, std::string& error);

    std::uint64_t Bytes() const;
    std::size_t Files() const;
    const std::string& Folder() const { return folder_; }

private:
    struct Entry {
        std::string key;
        std::uint64_t bytes = 0;
    };
    std::string PathOf(const std::string& key) const;
    // Deletes the least recently used until the cache fits, never `keep`; mutex_ held.
    void Evict(const std::string& keep);

    const std::string folder_;
    const std::uint64_t limit_;
    mutable std::mutex mutex_;  // guards used_, entries_, bytes_ and the folder's files
    std::list<Entry> used_;     // most recently used first
    std::unordered_map<std::string, std::list<Entry>::iterator> entries_;
    std::uint64_t bytes_ = 0;
};

}  // namespace vorn::station
