#pragma once

#include "player/UiThread.h"

namespace vorn {

// The window thread of a Qt program: the thread of the application object. Work
// is queued to the application's event loop and runs there in order.
class QtUiThread final : public UiThread {
public:
    void Post(std::function<void()> work) override;
    static QtUiThread& Instance();
};

}  // namespace vorn
