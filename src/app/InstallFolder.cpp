#include "app/InstallFolder.h"

#include <filesystem>

#include "foundation/RegistryKey.h"
#include "platform/Paths.h"
#include "platform/UserDirs.h"

namespace fs = std::filesystem;

namespace vorn {
namespace {

constexpr const char* kProbeFile = "vorn background.png";

bool HasSkin(const fs::path& folder) {
    std::error_code error;
    return fs::is_regular_file(folder / kProbeFile, error);
}

}  // namespace

std::string InstallFolder::ResourcesSource(const std::string& executablePath) {
    std::error_code error;
    const fs::path exe = fs::weakly_canonical(executablePath, error);
    const fs::path installed = exe.parent_path().parent_path() / "share" / "vorn" / "resources";
    return HasSkin(installed) ? installed.string() : std::string();
}

std::string InstallFolder::Prepare(const std::string& executablePath, std::string& problem) {
    RegistryKey key;
    key.Open(kVornKeyPath);
    // A first start writes both folders at once, and without waiting for the
    // disk, before the window is drawn: both are worked out again the same way
    // should they be lost, and the first durable write comes soon after.
    RegistryKey::Batch batch(key, false);
    std::string install;
    if (RegistryValue& value = key.Value("InstallDir"); value.Exists()) {
        install = value.AsText();
    }
    std::error_code error;
    if (install.empty()) {
        install = WithTrailingSeparator(DataHome() + "/vorn");
        fs::create_directories(install, error);
        if (!fs::is_directory(install, error)) {
            problem = "InstallFolder : Cannot create " + install;
            return std::string();
        }
        key.Value("InstallDir").SetText(install);
    } else if (!fs::is_directory(install, error)) {
        // Removed by hand since: made again (the log and "pl.txt" start afresh).
        fs::create_directories(install, error);
    }
    if (!key.Value("MediaDir").Exists()) {
        key.Value("MediaDir").SetText(WithTrailingSeparator(MusicDir() + "/Vorn"));
    }

    // The skin: a link to where this program's resources are, renewed when the
    // old one leads nowhere (an old build folder, a moved installation).
    const fs::path resources = fs::path(install) / "resources";
    if (!HasSkin(resources)) {
        const std::string source = ResourcesSource(executablePath);
        if (source.empty()) {
            problem = "InstallFolder : No skin found for " + executablePath;
        } else if (fs::is_symlink(fs::symlink_status(resources, error)) || !fs::exists(resources, error)) {
            fs::remove(resources, error);
            fs::create_directory_symlink(source, resources, error);
            if (error) {
                problem = "InstallFolder : Could not link the skin " + source + " into " + resources.string();
            }
        } else {
            problem = "InstallFolder : " + resources.string() + " holds no skin and is not ours to replace";
        }
    }
    return install;
}

}  // namespace vorn
