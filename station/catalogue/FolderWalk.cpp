#include "station/catalogue/FolderWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "station/base/StationLog.h"

namespace vorn::station {
namespace {

std::int64_t Nanoseconds(const struct timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

}  // namespace

FolderWalk::FolderWalk(std::string root, bool followLinks) : root_(std::move(root)), followLinks_(followLinks) {}

bool FolderWalk::Run(const Visitor& visitor) {
    visitor_ = &visitor;
    const int fd = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error_ = std::strerror(errno);
        return false;
    }
    std::string path = root_;
    if (FirstVisit(fd, path)) {
        WalkFolder(fd, path);
    } else {
        ::close(fd);
    }
    // The links met, each once, in path order; a folder reached through one
    // may hold more.
    while (!links_.empty()) {
        path = std::move(links_.extract(links_.begin()).value());
        const int target = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (target < 0) {
            continue;  // gone or changed since it was met
        }
        if (FirstVisit(target, path)) {
            WalkFolder(target, path);
        } else {
            ::close(target);
        }
    }
    visitor_ = nullptr;
    return true;
}

bool FolderWalk::FirstVisit(int fd, const std::string& path) {
    struct stat facts {};
    if (::fstat(fd, &facts) != 0) {
        return false;
    }
    const auto [at, added] = walked_.try_emplace({facts.st_dev, facts.st_ino}, path);
    if (!added && visitor_->refused) {
        const std::string& walkedAs = at->second;
        const bool loop = path.size() > walkedAs.size() && path.compare(0, walkedAs.size(), walkedAs) == 0 &&
                          path[walkedAs.size()] == '/';
        visitor_->refused(path, walkedAs, loop);
    }
    return added;
}

void FolderWalk::WalkFolder(int fd, std::string& path) {
    if (visitor_->folder) {
        visitor_->folder(path);
    }
    DIR* folder = ::fdopendir(fd);
    if (folder == nullptr) {
        ::close(fd);
        return;
    }
    const int at = ::dirfd(folder);
    const std::size_t base = path.size();
    errno = 0;
    while (const dirent* entry = ::readdir(folder)) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
            continue;
        }
        path.resize(base);
        path += '/';
        path += name;
        struct stat facts {};
        unsigned char type = entry->d_type;
        if (type == DT_REG || type == DT_UNKNOWN) {
            if (::fstatat(at, name, &facts, AT_SYMLINK_NOFOLLOW) != 0) {
                continue;  // gone meanwhile
            }
            type = S_ISREG(facts.st_mode)   ? DT_REG
                   : S_ISDIR(facts.st_mode) ? DT_DIR
                   : S_ISLNK(facts.st_mode) ? DT_LNK
                                            : 0;
        }
        if (type == DT_LNK) {
            if (::fstatat(at, name, &facts, 0) != 0) {
                continue;  // a link to nothing
            }
            if (S_ISDIR(facts.st_mode)) {
                if (followLinks_) {
                    links_.insert(path);
                } else {
                    ++folderLinks_;
                }
                continue;
            }
            type = S_ISREG(facts.st_mode) ? DT_REG : 0;
        }
        if (type == DT_REG) {
            if (visitor_->file) {
                visitor_->file(WalkedFile{path, facts.st_size, Nanoseconds(facts.st_mtim)});
            }
        } else if (type == DT_DIR) {
            const int child = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child < 0) {
                STATION_LOG(LogLevel::Fine) << "Catalogue : cannot read the folder \"" << path << "\" : "
                                            << std::strerror(errno);
            } else if (FirstVisit(child, path)) {
                WalkFolder(child, path);
            } else {
                ::close(child);
            }
        }
    }
    path.resize(base);
    ::closedir(folder);
}

}  // namespace vorn::station
