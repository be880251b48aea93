#include "ui/X11Keyboard.h"

#include <X11/keysym.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace vorn {

namespace {

struct FreeDeleter {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

}  // namespace

std::uint8_t X11Keyboard::KeycodeFor(xcb_connection_t* connection, std::uint32_t keysym) {
    const xcb_setup_t* setup = xcb_get_setup(connection);
    const int first = setup->min_keycode;
    const int count = setup->max_keycode - setup->min_keycode + 1;
    Reply<xcb_get_keyboard_mapping_reply_t> mapping(xcb_get_keyboard_mapping_reply(
        connection, xcb_get_keyboard_mapping(connection, setup->min_keycode, static_cast<std::uint8_t>(count)),
        nullptr));
    if (!mapping) return 0;
    const xcb_keysym_t* symbols = xcb_get_keyboard_mapping_keysyms(mapping.get());
    const int perKeycode = mapping->keysyms_per_keycode;
    for (int column = 0; column < perKeycode; ++column) {
        for (int key = 0; key < count; ++key) {
            if (symbols[key * perKeycode + column] == keysym) return static_cast<std::uint8_t>(first + key);
        }
    }
    return 0;
}

std::uint16_t X11Keyboard::NumLockMask(xcb_connection_t* connection) {
    const std::uint8_t numLock = KeycodeFor(connection, XK_Num_Lock);
    Reply<xcb_get_modifier_mapping_reply_t> modifiers(
        xcb_get_modifier_mapping_reply(connection, xcb_get_modifier_mapping(connection), nullptr));
    if (numLock != 0 && modifiers) {
        const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(modifiers.get());
        const int perModifier = modifiers->keycodes_per_modifier;
        for (int modifier = 0; modifier < 8; ++modifier) {
            for (int i = 0; i < perModifier; ++i) {
                if (codes[modifier * perModifier + i] == numLock) return static_cast<std::uint16_t>(1u << modifier);
            }
        }
    }
    return XCB_MOD_MASK_2;
}

std::uint32_t X11Keyboard::RootWindow(xcb_connection_t* connection) {
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    return screens.rem > 0 ? screens.data->root : 0;
}

}  // namespace vorn
