#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vorn {

// The program's own window messages (WM_USER + 0x101 onwards). They are posted
// or sent to the skinned window through CSkinDialog::PostMessage/SendMessage.
inline constexpr unsigned MSG_SETMEDIA = 0x501;
inline constexpr unsigned MSG_PLAY = 0x502;
inline constexpr unsigned MSG_PAUSE = 0x503;
inline constexpr unsigned MSG_REDRAWCONTROL = 0x504;  // text: the control's name
inline constexpr unsigned MSG_TRAYNOTIFY = 0x505;
inline constexpr unsigned MSG_SHUTDOWN = 0x506;
inline constexpr unsigned MSG_SEEKFORWARD = 0x507;
inline constexpr unsigned MSG_SEEKBACK = 0x508;
// A control's look changed for assistive technologies; value: the
// QAccessible::Event, text: the control's name.
inline constexpr unsigned MSG_ACCESSIBLECHANGE = 0x509;

// Window timers (CSkinDialog::SetTimer ids) and their periods.
inline constexpr int TIMER_MEDIA_POLL = 100;
inline constexpr int TIMER_DISPLAY_SCROLL = 101;
inline constexpr int TIMER_CONTROL_TICK = 102;
inline constexpr int TIMER_MEDIA_POLL_MS = 500;
inline constexpr int TIMER_DISPLAY_SCROLL_MS = 200;
inline constexpr int TIMER_CONTROL_TICK_MS = 200;

// The argument of a window message: a number and, for the messages that carry
// one (a control's name, a media path), a text. A message "without a path"
// leaves `text` empty.
struct MessageArgs {
    std::int64_t value = 0;
    std::optional<std::string> text;

    static MessageArgs Text(std::string text) { return MessageArgs{0, std::move(text)}; }
    static MessageArgs Value(std::int64_t value) { return MessageArgs{value, std::nullopt}; }
};

}  // namespace vorn
