#include "download/FileSink.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace vorn {

FileSink::FileSink(std::size_t bufferBytes) : buffer_(bufferBytes == 0 ? 1 : bufferBytes) {
    setp(buffer_.data(), buffer_.data() + buffer_.size());
}

FileSink::~FileSink() { Close(); }

bool FileSink::Open(const std::string& path) {
    Close();
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    failed_ = fd_ < 0;
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    return fd_ >= 0;
}

bool FileSink::Close() {
    if (fd_ < 0) {
        return !failed_;
    }
    Flush();
    if (::close(fd_) != 0) {
        failed_ = true;
    }
    fd_ = -1;
    return !failed_;
}

bool FileSink::Flush() {
    const char* data = pbase();
    std::size_t left = static_cast<std::size_t>(pptr() - pbase());
    while (left > 0 && !failed_) {
        const ssize_t n = fd_ < 0 ? -1 : ::write(fd_, data, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            failed_ = true;
            break;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    return !failed_;
}

FileSink::int_type FileSink::overflow(int_type ch) {
    if (!Flush()) {
        return traits_type::eof();
    }
    if (!traits_type::eq_int_type(ch, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(ch);
        pbump(1);
    }
    return traits_type::not_eof(ch);
}

int FileSink::sync() { return Flush() ? 0 : -1; }

}  // namespace vorn
