#include "station/media/ArtExtractor.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "station/base/StationLog.h"
#include "station/media/ArtFinder.h"
#include "station/media/ArtScaler.h"

namespace vorn::station {
namespace {

// The key of `picture` once the cache holds it, "" when it cannot be shown.
std::string Cached(const std::string& picture, const std::string& where, ArtCache& cache,
                   const std::atomic<bool>& stop) {
    const std::string key = ArtCache::KeyOf(picture);
    if (key.empty() || cache.Has(key)) {
        return key;
    }
    std::string jpeg;
    std::string error;
    if (!ArtScaler::ToJpeg(picture, stop, jpeg, error)) {
        if (!stop.load()) {
            STATION_LOG(LogLevel::Warning) << "ArtExtractor : the picture " << where << " cannot be shown : " << error;
        }
        return {};
    }
    if (!cache.Put(key, jpeg, error)) {
        STATION_LOG(LogLevel::Warning) << "ArtExtractor : " << error;
        return {};
    }
    return key;
}

}  // namespace

std::string ArtExtractor::Extract(const std::string& path, ArtCache& cache, const std::atomic<bool>& stop) {
    for (const std::string& picture : ArtFinder::Embedded(path)) {
        if (stop.load()) {
            return {};
        }
        if (std::string key = Cached(picture, "embedded in " + path, cache, stop); !key.empty()) {
            return key;
        }
    }
    for (const std::string& file : ArtFinder::BesideFile(path)) {
        if (stop.load()) {
            return {};
        }
        std::error_code code;
        const std::uintmax_t size = std::filesystem::file_size(file, code);
        if (!code && size > ArtScaler::kMostBytes) {
            STATION_LOG(LogLevel::Warning) << "ArtExtractor : the picture " << file << " is too large (" << (size >> 20)
                                           << " MiB)";
            continue;
        }
        std::ifstream in(file, std::ios::binary);
        const std::string picture{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (code || in.bad() || picture.empty()) {
            STATION_LOG(LogLevel::Warning) << "ArtExtractor : the picture " << file << " cannot be read";
            continue;
        }
        if (std::string key = Cached(picture, file, cache, stop); !key.empty()) {
            return key;
        }
    }
    return {};
}

}  // namespace vorn::station
