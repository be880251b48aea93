#include "ui/WindowSystem.h"

#include <QGuiApplication>

namespace vorn {

bool WindowSystem::IsWayland() {
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

}  // namespace vorn
