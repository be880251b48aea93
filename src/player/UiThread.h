#pragma once

#include <functional>

namespace vorn {

// The thread that owns the user interface. Work that changes what is playing
// (the current item, the media) runs there, so download threads hand such work
// over instead of doing it themselves. Post never waits.
class UiThread {
public:
    virtual ~UiThread() = default;
    virtual void Post(std::function<void()> work) = 0;
};

}  // namespace vorn
