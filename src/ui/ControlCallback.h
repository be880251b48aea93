#pragma once

#include <functional>

namespace vorn {

// Binds a control to one handler of its window: calling the callback with an
// event code calls the handler with that code and returns its answer.
class ControlCallback {
public:
    using Handler = std::function<bool(int code)>;

    explicit ControlCallback(Handler handler) : handler_(std::move(handler)) {}

    template <typename Window>
    ControlCallback(Window* window, bool (Window::*handler)(int))
        : handler_([window, handler](int code) { return (window->*handler)(code); }) {}

    // False when bound to nothing.
    bool operator()(int code) const { return handler_ ? handler_(code) : false; }

private:
    Handler handler_;
};

}  // namespace vorn
