#include "ui/WindowSystemPosition.h"

#include <QGuiApplication>
#include <QWidget>
#include <QWindow>

#include <xcb/xcb.h>

#include <cstdlib>

namespace vorn {

std::optional<QPoint> WindowSystemPosition::Query(const QWidget& window) {
    const auto* x11 = qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (x11 == nullptr || x11->connection() == nullptr || window.windowHandle() == nullptr) {
        return std::nullopt;
    }
    xcb_connection_t* connection = x11->connection();
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    if (screen == nullptr) return std::nullopt;
    xcb_translate_coordinates_reply_t* reply = xcb_translate_coordinates_reply(
        connection,
        xcb_translate_coordinates(connection, static_cast<xcb_window_t>(window.winId()), screen->root, 0, 0),
        nullptr);
    if (reply == nullptr) return std::nullopt;
    const QPoint position(reply->dst_x, reply->dst_y);
    std::free(reply);
    return position;
}

bool WindowSystemPosition::Resync(QWidget& window) {
    if (!window.isWindow() || !window.isVisible()) return false;
    const std::optional<QPoint> actual = Query(window);
    QWindow* handle = window.windowHandle();
    if (!actual || handle == nullptr || handle->position() == *actual) return false;
    handle->setPosition(*actual);
    return true;
}

}  // namespace vorn
