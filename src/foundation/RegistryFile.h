#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "foundation/RegistryData.h"

namespace vorn {

// One registry key kept as a text file in the format of a REGEDIT4 export:
//
//     REGEDIT4
//
//     [HKEY_CURRENT_USER\Software\Mirelund\Vorn]
//     "name"="text"              (backslash and quote escaped with a backslash)
//     "name"=dword:0000000d
//     "name"=hex:0a,0b           (binary)
//     "name"=hex(7):61,00,00     (multi-string: each text with its NUL, then a NUL)
//
// Texts holding a line break or NUL are written as hex(1): so that every value
// stays on one line. Reading skips lines it cannot understand; writing keeps them.
//
// Every write merges: it takes an advisory lock, reads the file again, changes
// that one value, writes a temporary file, syncs it and renames it over the old
// one, so separate writers never erase each other's values and a crash never
// leaves half a file behind. A store that exists but cannot be read is never
// written: the write is refused (logged once until a read succeeds again), since
// writing would replace every value it could not read. Temporary files left by
// writers that were killed are removed under the same lock.
class RegistryFile {
public:
    using Values = std::vector<std::pair<std::string, RegistryData>>;

    RegistryFile(std::string path, std::string keyName);

    const std::string& Path() const { return path_; }

    // Creates the folder and an empty key file when missing, and removes stale
    // temporary files. False when the file can neither be found nor made.
    bool Create() const;
    bool Exists() const;
    // The values in file order; nothing when the file cannot be read.
    std::optional<Values> Load() const;
    // Sets values (names compared without regard to case), all in one
    // replacement of the file. False on failure, also when the existing file
    // cannot be read; the old file then stays as it was.
    // `flush` false: the replacement does not wait for the disk (see
    // ReplaceFileUnflushed), for values that would be written again the same.
    bool Write(const Values& values, bool flush = true) const;
    bool Write(const std::string& name, const RegistryData& data) const { return Write(Values{{name, data}}); }

    static std::string FormatValueLine(const std::string& name, const RegistryData& data);
    // The name and data of a value line, or nothing when the line is not one.
    static std::optional<std::pair<std::string, RegistryData>> ParseValueLine(const std::string& line);

    // Whether a name in the store's folder is one of this store's temporary files
    // ("<store name>.XXXXXX", as mkstemp makes them).
    bool IsTempName(const std::string& fileName) const;

private:
    enum class ReadState { Read, Missing, Failed };
    // Makes the store with `lines`; false when it exists or cannot be written.
    bool WriteNew(const std::vector<std::string>& lines) const;
    // Sets one value's line in the key's section of `lines` (adding the section if missing).
    void SetLine(std::vector<std::string>& lines, const std::string& name, const RegistryData& data) const;
    // The file's logical lines; error holds errno when the state is Failed.
    std::vector<std::string> ReadLines(ReadState& state, int& error) const;
    // Removes temporary files of this store; call only while holding the store's lock,
    // which every writer holds from making its temporary file to renaming it.
    void RemoveStaleTemps() const;
    bool HasStaleTemps() const;
    bool Replace(const std::vector<std::string>& lines, bool flush) const;

    std::string path_;
    std::string keyName_;  // e.g. HKEY_CURRENT_USER\Software\Mirelund\Vorn
};

}  // namespace vorn
