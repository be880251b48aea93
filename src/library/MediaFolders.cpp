#include "library/MediaFolders.h"

#include <filesystem>

#include "foundation/RegistryKey.h"
#include "library/RatingFolders.h"
#include "platform/Paths.h"

namespace fs = std::filesystem;

namespace vorn {

std::string PrepareMediaFolders() {
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
