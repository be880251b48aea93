#pragma once

#include <QAbstractNativeEventFilter>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

class QObject;
struct xcb_connection_t;

namespace vorn {

// The program's eleven system-wide keys, grabbed on the X server's root window:
//
//   id 0 Alt+W, 1 XF86AudioPlay, 2 Alt+E, 3 XF86AudioNext, 4 Alt+Q,
//   5 XF86AudioPrev, 6..10 Alt+1..Alt+5
//
// Register grabs them in the order 3, 5, 1, 2, 4, 0, 6, 7, 8, 9, 10 (each also
// with NumLock and CapsLock, which must not change a key's meaning); Unregister
// releases them in the same order. A key that another client already holds, a
// key that the keyboard map lacks, and everything on a display without X11
// (offscreen, Wayland) are skipped silently.
//
// A press of a held key calls the handler with the key's id, on the GUI thread,
// from the event loop (never from inside the native event dispatch). Only the
// grabbed key code with exactly its modifiers counts; ordinary key presses to
// the program's own windows pass through untouched.
class HotKeys : public QAbstractNativeEventFilter {
public:
    using Handler = std::function<void(int id)>;
    static constexpr int kCount = 11;
    static constexpr std::array<int, kCount> kOrder{3, 5, 1, 2, 4, 0, 6, 7, 8, 9, 10};

    // Needs the QGuiApplication to exist.
    explicit HotKeys(Handler handler);
    ~HotKeys() override;  // releases every key
    HotKeys(const HotKeys&) = delete;
    HotKeys& operator=(const HotKeys&) = delete;

    // Grabs the keys not yet held. Returns how many are held afterwards.
    int Register();
    void Unregister();
    bool IsRegistered(int id) const;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    struct Grab {
        bool held = false;
        std::uint8_t keycode = 0;
        std::uint16_t modifiers = 0;
    };

    bool Connect();
    bool TryGrab(int id);

    Handler handler_;
    std::unique_ptr<QObject> context_;  // queued handler calls die with it
    xcb_connection_t* connection_ = nullptr;  // Qt's own; not owned
    std::uint32_t root_ = 0;
    std::uint16_t numLockMask_ = 0;
    std::array<Grab, kCount> grabs_{};
};

}  // namespace vorn
