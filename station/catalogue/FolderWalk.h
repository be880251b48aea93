#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>

namespace vorn::station {

// A regular file met by a walk. `path` runs through the folder links followed
// to reach it; it is valid only during the call that hands the file over.
struct WalkedFile {
    const std::string& path;
    std::int64_t size = 0;
    std::int64_t modified = 0;  // nanoseconds since the epoch
};

// One walk of a folder tree: every regular file below it (those reached
// through a symbolic link to a file too) with its size and modification time,
// for one directory read and one stat per entry, without a string made per
// file. Symbolic links to folders are followed once each: a link to a folder
// already walked (one that holds the link, a loop, or one reached another
// way) is refused and reported. Every real folder is walked before any link
// is followed, so the path a file is known by does not depend on the order in
// which folders list their entries. Folders that cannot be read are skipped.
class FolderWalk {
public:
    struct Visitor {
        std::function<void(const WalkedFile&)> file;
        // Each folder as it is entered, before its entries are read: a watch
        // set on it here misses nothing that the walk does not see.
        std::function<void(const std::string& folder)> folder;
        // A folder not walked again: `path` leads to the folder already walked
        // as `walkedAs`, which holds `path` when `loop`.
        std::function<void(const std::string& path, const std::string& walkedAs, bool loop)> refused;
    };

    // With `followLinks` false, links to folders are only counted
    // (FolderLinks()): a walk of part of the tree cannot tell whether the
    // rest of it already holds their folders.
    explicit FolderWalk(std::string root, bool followLinks = true);

    // False, with Error() saying why, when the root cannot be read as a folder.
    bool Run(const Visitor& visitor);
    const std::string& Error() const { return error_; }
    int FolderLinks() const { return folderLinks_; }

private:
    // Walks the open folder `fd` (closed when done) known as `path`; `path`
    // is restored before returning.
    void WalkFolder(int fd, std::string& path);
    // Records the open folder as walked as `path`; false (reported) when it
    // was walked before.
    bool FirstVisit(int fd, const std::string& path);

    const std::string root_;
    const bool followLinks_;
    const Visitor* visitor_ = nullptr;
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::string> walked_;  // (device, inode) → path walked as
    std::set<std::string> links_;  // links to folders met and not yet followed, taken in path order
    int folderLinks_ = 0;
    std::string error_;
};

}  // namespace vorn::station
