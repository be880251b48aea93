#pragma once

#include <cstdint>
#include <string>

namespace vorn::test {

// Opens the "global" log channel on logs/vorn.log in the current folder (use it
// inside an IsolatedHome) and closes every channel when it goes. Text() is what
// the file holds so far.
class ScopedLog {
public:
    explicit ScopedLog(std::int32_t threshold = 0);
    ~ScopedLog();
    ScopedLog(const ScopedLog&) = delete;
    ScopedLog& operator=(const ScopedLog&) = delete;

    std::string Text() const;
    bool Contains(const std::string& text) const { return Text().find(text) != std::string::npos; }
};

}  // namespace vorn::test
