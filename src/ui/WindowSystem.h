#pragma once

namespace vorn {

// What the window system lets a top-level window do, by the platform Qt runs
// on. On Wayland the compositor alone stacks and places windows: a client can
// neither keep itself above the others nor grab keys outside its own windows
// (the desktop portal's global shortcuts serve instead), and a window is shaped
// by its per-pixel alpha with an input region, not by an X shape.
class WindowSystem {
public:
    // Qt runs as a native Wayland client ("wayland", "wayland-egl", ...).
    static bool IsWayland();
    // Whether "Always On Top" can be had; why not when it cannot.
    static bool CanKeepOnTop() { return !IsWayland(); }
    static constexpr const char* kNoKeepOnTop =
        "On Wayland the desktop decides which window stays on top; use its window menu or settings.";
    // Returns once the window system has taken all this program sent it: on
    // X11 a round trip, after which the X server has drawn every frame sent
    // before. Elsewhere at once.
    static void WaitUntilTaken();
};

}  // namespace vorn
