// The store file, read the way the program reads it. The input becomes the
// per-user store file; then
// - RegistryFile::Load reads it, and every value it yields must come back
//   unchanged from its own value line (FormatValueLine, then ParseValueLine);
// - Preferences reads it, which writes its defaults where values are missing,
//   through RegistryFile::Write's merge; that merge must keep every other value
//   as it was.

#include <cstdint>
#include <filesystem>
#include <string>

#include "foundation/Preferences.h"
#include "foundation/RegistryFile.h"
#include "foundation/RegistryKey.h"
#include "fuzz/FuzzSupport.h"
#include "platform/AsciiCase.h"

namespace {

using namespace vorn;

const char* const kKeyName = "HKEY_CURRENT_USER\\Software\\Mirelund\\Vorn";

// The values Preferences may set when it reads the store.
bool SetByPreferences(const std::string& name) {
    for (const char* own : {"pref_aot", "pref_hk", "pref_useproxy", "pref_proxyserver", "pref_proxyport", "MediaDir"}) {
        if (EqualsIgnoringCase(name, own)) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Scratch::Get();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = RegistryKey::StorePath(kVornKeyPath);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    if (!fuzz::Scratch::WriteFile(path, data, size)) {
        return 0;
    }
    const RegistryFile file(path, kKeyName);
    const auto before = file.Load();
    if (!before) {
        return 0;
    }
    for (const auto& [name, value] : *before) {
        const auto parsed = RegistryFile::ParseValueLine(RegistryFile::FormatValueLine(name, value));
        fuzz::Check(parsed && parsed->first == name && parsed->second == value, "a value line reads back");
    }

    { Preferences preferences; }

    const auto after = file.Load();
    fuzz::Check(after.has_value(), "the store reads after Preferences wrote to it");
    for (const auto& [name, value] : *before) {
        if (SetByPreferences(name)) {
            continue;
        }
        bool kept = false;
        for (const auto& [otherName, otherValue] : *after) {
            kept = kept || (otherName == name && otherValue == value);
        }
        fuzz::Check(kept, "writing one value keeps every other");
    }
    return 0;
}
