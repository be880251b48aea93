#pragma once

#include <cstddef>
#include <streambuf>
#include <string>
#include <vector>

namespace vorn {

// A write-only file behind a large buffer, for an std::ostream. Unlike a
// std::ofstream, it keeps 1024-byte writes in its buffer (the standard file
// buffer writes blocks of that size straight through, one system call each).
// A failed write makes the stream bad; Close reports whether everything reached
// the file.
class FileSink : public std::streambuf {
public:
    static constexpr std::size_t kDefaultBufferBytes = 256 * 1024;

    explicit FileSink(std::size_t bufferBytes = kDefaultBufferBytes);
    ~FileSink() override;
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    // Creates or truncates the file. False when it cannot be opened.
    bool Open(const std::string& path);
    // Writes what is buffered and closes the file; false when any write failed.
    bool Close();
    bool IsOpen() const { return fd_ >= 0; }

protected:
    int_type overflow(int_type ch) override;
    int sync() override;

private:
    bool Flush();

    int fd_ = -1;
    std::vector<char> buffer_;
    bool failed_ = false;
};

}  // namespace vorn
