#pragma once

namespace vorn {

// The commands of the main window's menu (the same popup serves as the context
// menu and the tray menu).
inline constexpr int ID_HELP = 32781;
inline constexpr int ID_ALWAYS_ON_TOP = 32800;
inline constexpr int ID_NORMAL = 32801;
inline constexpr int ID_HOTKEYS_ENABLE = 32806;
inline constexpr int ID_HOTKEYS_DISABLE = 32807;
inline constexpr int ID_PREFERENCES = 32808;
inline constexpr int ID_OPEN_MEDIA_FOLDER = 32791;
inline constexpr int ID_DELETE_LOW_RATED = 32802;
inline constexpr int ID_FEEDBACK = 32782;
inline constexpr int ID_ABOUT = 32773;
inline constexpr int ID_EXIT = 32774;

// Window results: Exit and MSG_SHUTDOWN end the window with OK; anything else
// (Escape, the window system's close) with Cancel, which starts the program over.
inline constexpr int kResultOk = 1;
inline constexpr int kResultCancel = 2;

// The hot keys' ids.
inline constexpr int HOTKEY_PLAY = 0;          // Alt+W
inline constexpr int HOTKEY_MEDIA_PLAY = 1;
inline constexpr int HOTKEY_NEXT = 2;          // Alt+E
inline constexpr int HOTKEY_MEDIA_NEXT = 3;
inline constexpr int HOTKEY_PREVIOUS = 4;      // Alt+Q
inline constexpr int HOTKEY_MEDIA_PREVIOUS = 5;
inline constexpr int HOTKEY_RATE_1 = 6;        // Alt+1 .. Alt+5: ids 6 .. 10

}  // namespace vorn
