#pragma once

#include <QPoint>

#include <optional>

class QWidget;

namespace vorn {

// Where the window system really shows a top-level window. Under a reparenting
// X11 window manager Qt's own idea of a frameless window's position can be
// wrong until the window has been moved once (it may read (0,0) after the
// manager placed it elsewhere), and everything Qt derives from it goes wrong
// with it: the pointer position it hands to the manager when a system move
// starts (the window jumps by its own screen position) and where dialogs
// owned by the window are centred.
class WindowSystemPosition {
public:
    // The top-left corner of the widget's native window in screen coordinates,
    // asked of the X server; nothing on other platforms or without a native window.
    static std::optional<QPoint> Query(const QWidget& window);

    // Tells Qt the true position when it believes another one. The window does
    // not move: the window system is asked to keep it where it already is.
    // True when Qt's idea was corrected.
    static bool Resync(QWidget& window);
};

}  // namespace vorn
