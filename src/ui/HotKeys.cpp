#include "ui/HotKeys.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>
#include <xcb/xcb.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QObject>

#include <cstdlib>

#include "ui/X11Keyboard.h"

namespace vorn {

namespace {

struct KeyDefinition {
    std::uint32_t keysym;
    std::uint16_t modifiers;
};

constexpr std::uint16_t kAlt = XCB_MOD_MASK_1;

// Indexed by hot-key id.
constexpr std::array<KeyDefinition, HotKeys::kCount> kKeys{{
    {XK_w, kAlt},
    {XF86XK_AudioPlay, 0},
    {XK_e, kAlt},
    {XF86XK_AudioNext, 0},
    {XK_q, kAlt},
    {XF86XK_AudioPrev, 0},
    {XK_1, kAlt},
    {XK_2, kAlt},
    {XK_3, kAlt},
    {XK_4, kAlt},
    {XK_5, kAlt},
}};

// Shift, Lock, Control and Mod1..Mod5: the bits of a key event's state that are
// modifiers (the rest are mouse buttons).
constexpr std::uint16_t kModifierBits = 0xFF;

}  // namespace

HotKeys::HotKeys(Handler handler) : handler_(std::move(handler)), context_(std::make_unique<QObject>()) {
    if (QCoreApplication* app = QCoreApplication::instance()) app->installNativeEventFilter(this);
}

HotKeys::~HotKeys() {
    Unregister();
    if (QCoreApplication* app = QCoreApplication::instance()) app->removeNativeEventFilter(this);
}

bool HotKeys::Connect() {
    if (connection_ != nullptr) return true;
    auto* guiApp = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    auto* x11 = guiApp != nullptr ? guiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (x11 == nullptr || x11->connection() == nullptr) return false;
    const std::uint32_t root = X11Keyboard::RootWindow(x11->connection());
    if (root == 0) return false;
    connection_ = x11->connection();
    root_ = root;
    numLockMask_ = X11Keyboard::NumLockMask(connection_);
    return true;
}

int HotKeys::Register() {
    int held = 0;
    if (Connect()) {
        for (int id : kOrder) {
            if (grabs_[id].held || TryGrab(id)) ++held;
        }
        xcb_flush(connection_);
    }
    return held;
}

bool HotKeys::TryGrab(int id) {
    const std::uint8_t keycode = X11Keyboard::KeycodeFor(connection_, kKeys[id].keysym);
    if (keycode == 0) return false;
    const std::uint16_t modifiers = kKeys[id].modifiers;
    const std::array<std::uint16_t, 4> locks{0, XCB_MOD_MASK_LOCK, numLockMask_,
                                              static_cast<std::uint16_t>(XCB_MOD_MASK_LOCK | numLockMask_)};
    std::array<xcb_void_cookie_t, 4> cookies{};
    for (std::size_t i = 0; i < locks.size(); ++i) {
        cookies[i] = xcb_grab_key_checked(connection_, 1, root_, modifiers | locks[i], keycode,
                                          XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    }
    // The server answers a key that another client holds with BadAccess.
    bool refused = false;
    for (xcb_void_cookie_t cookie : cookies) {
        if (xcb_generic_error_t* error = xcb_request_check(connection_, cookie)) {
            refused = true;
            std::free(error);
        }
    }
    if (refused) {
        // Releases only the variants we did get: a client cannot release another's grab.
        for (std::uint16_t lock : locks) xcb_ungrab_key(connection_, keycode, root_, modifiers | lock);
        return false;
    }
    grabs_[id] = Grab{true, keycode, modifiers};
    return true;
}

void HotKeys::Unregister() {
    // Qt's connection goes with the application; without it there is nothing left to release.
    if (connection_ == nullptr || QCoreApplication::instance() == nullptr) return;
    const std::array<std::uint16_t, 4> locks{0, XCB_MOD_MASK_LOCK, numLockMask_,
                                              static_cast<std::uint16_t>(XCB_MOD_MASK_LOCK | numLockMask_)};
    for (int id : kOrder) {
        Grab& grab = grabs_[id];
        if (!grab.held) continue;
        for (std::uint16_t lock : locks) xcb_ungrab_key(connection_, grab.keycode, root_, grab.modifiers | lock);
        grab.held = false;
    }
    xcb_flush(connection_);
}

bool HotKeys::IsRegistered(int id) const { return id >= 0 && id < kCount && grabs_[id].held; }

bool HotKeys::nativeEventFilter(const QByteArray& eventType, void* message, qintptr* /*result*/) {
    if (connection_ == nullptr || eventType != "xcb_generic_event_t") return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7F) != XCB_KEY_PRESS) return false;
    const auto* press = static_cast<const xcb_key_press_event_t*>(message);
    const std::uint16_t modifiers = press->state & kModifierBits & ~(XCB_MOD_MASK_LOCK | numLockMask_);
    for (int id = 0; id < kCount; ++id) {
        const Grab& grab = grabs_[id];
        if (grab.held && grab.keycode == press->detail && grab.modifiers == modifiers) {
            QMetaObject::invokeMethod(context_.get(), [this, id] { handler_(id); }, Qt::QueuedConnection);
            return true;
        }
    }
    return false;
}

}  // namespace vorn
