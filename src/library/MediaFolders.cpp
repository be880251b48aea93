#include "library/MediaFolders.h"

#include <filesystem>
#include <fstream>

#include "foundation/LogEntry.h"
#include "foundation/RegistryKey.h"
#include "library/RatingFolders.h"
#include "library/VornPlaylist.h"
#include "library/VornPlaylistItem.h"
#include "platform/Paths.h"

namespace fs = std::filesystem;

namespace vorn {
namespace {

// True when the playlist file holds a record whose file lies in `media`.
bool LibraryLivesIn(const std::string& playlistFile, const std::string& media) {
    std::ifstream in(playlistFile, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        const std::unique_ptr<VornPlaylistItem> item = VornPlaylistItem::FromXml(XmlElement(line));
        if (item && item->Location().compare(0, media.size(), media) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool MediaFolderReachable(const std::string& mediaFolder) {
    std::error_code error;
    if (!fs::is_directory(mediaFolder, error)) {
        return false;
    }
    const std::string folder = WithTrailingSeparator(mediaFolder);
    for (const char* name : kRatingFolders) {
        if (fs::is_directory(folder + name, error)) {
            return true;
        }
    }
    return false;
}

std::string PrepareMediaFolders() { return PrepareMediaFolders(kPlaylistFileName); }

std::string PrepareMediaFolders(const std::string& playlistFile) {
    std::string media;
    std::string install;
    {
        RegistryKey key;
        key.Open(kVornKeyPath);
        if (RegistryValue& value = key.Value("MediaDir"); value.Exists()) media = value.AsText();
        if (RegistryValue& value = key.Value("InstallDir"); value.Exists()) install = value.AsText();
    }
    std::error_code ignored;
    if (media.empty()) {
        media = fs::current_path(ignored).string() + kPathSeparator + "media";
    }
    media = WithTrailingSeparator(media);
    if (!MediaFolderReachable(media) && LibraryLivesIn(playlistFile, media)) {
        VORN_LOG(LogLevel::Warning) << "Media folder not available: " << media;
        return media;
    }
    fs::create_directories(media, ignored);

    if (!install.empty()) {
        const std::string old = WithTrailingSeparator(install) + "media" + kPathSeparator;
        for (const char* name : kRatingFolders) {
            // Fails when there is no such folder, or when the media folder already
            // has one: its files then stay where they are.
            if (!fs::exists(media + name, ignored)) {
                fs::rename(old + name, media + name, ignored);
            }
        }
        fs::remove(old, ignored);  // only succeeds when empty
    }
    for (const char* name : kRatingFolders) {
        fs::create_directory(media + name, ignored);
    }
    return media;
}

}  // namespace vorn
