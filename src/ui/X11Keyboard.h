#pragma once

#include <cstdint>

struct xcb_connection_t;

namespace vorn {

// What global keys need to know of the X server's keyboard: the key code that
// carries a key symbol and the modifier bit that NumLock sets.
class X11Keyboard {
public:
    // The first key code whose mapping holds `keysym` (unshifted columns first),
    // or 0 when no key carries it.
    static std::uint8_t KeycodeFor(xcb_connection_t* connection, std::uint32_t keysym);
    // The modifier mask of the NumLock key; Mod2 (the usual one) when the server
    // does not say.
    static std::uint16_t NumLockMask(xcb_connection_t* connection);
    // The root window of the connection's first screen (0 if none).
    static std::uint32_t RootWindow(xcb_connection_t* connection);
};

}  // namespace vorn
