#pragma once

#include <cstdint>

namespace vorn {

// Wall-clock time in whole seconds since 1970-01-01 UTC. Code that decides by the
// date (for example which items are due to be played again) takes a Clock so that
// tests can set the time.
class Clock {
public:
    virtual ~Clock() = default;
    virtual std::int64_t NowSeconds() const = 0;

    // The real clock of the system; lives for the whole process.
    static const Clock& System();
};

}  // namespace vorn
