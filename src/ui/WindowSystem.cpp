#include "ui/WindowSystem.h"

#include <xcb/xcb.h>

#include <QGuiApplication>

#include <cstdlib>

namespace vorn {

bool WindowSystem::IsWayland() {
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

void WindowSystem::WaitUntilTaken() {
    auto* x11 = qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (x11 == nullptr || x11->connection() == nullptr) return;
    xcb_connection_t* connection = x11->connection();
    // Any request with a reply: it is answered after everything sent before it.
    std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
}

}  // namespace vorn
