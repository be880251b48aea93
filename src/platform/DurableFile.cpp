#include "platform/DurableFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace vorn {
namespace {

bool WriteAll(int fd, const std::string& content) {
    std::size_t written = 0;
    while (written < content.size()) {
        const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

bool Replace(const std::string& path, const std::string& content, mode_t mode, bool flush) {
    std::string tempPath = path + ".XXXXXX";
    const int fd = ::mkstemp(tempPath.data());
    if (fd < 0) {
        return false;
    }
    ::fchmod(fd, mode);
    bool ok = WriteAll(fd, content);
    ok = ok && (!flush || ::fsync(fd) == 0);
    ok = (::close(fd) == 0) && ok;
    if (!ok || std::rename(tempPath.c_str(), path.c_str()) != 0) {
        ::unlink(tempPath.c_str());
        return false;
    }
    return true;
}

}  // namespace

bool ReplaceFileUnflushed(const std::string& path, const std::string& content, mode_t mode) {
    return Replace(path, content, mode, false);
}

bool ReplaceFileDurably(const std::string& path, const std::string& content, mode_t mode) {
    if (!Replace(path, content, mode, true)) {
        return false;
    }
    // The rename itself is only durable once the folder is flushed too.
    const std::string folder = std::filesystem::path(path).parent_path().string();
    if (const int dirFd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

bool AppendDurably(const std::string& path, const std::string& content) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    bool ok = WriteAll(fd, content);
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    return ok;
}

}  // namespace vorn
