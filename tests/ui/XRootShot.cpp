#include "tests/ui/XRootShot.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace vorn::test {

XRootShot::XRootShot(const std::string& display) : display_(XOpenDisplay(display.c_str())) {}

XRootShot::~XRootShot() {
    if (display_ != nullptr) {
        XCloseDisplay(static_cast<Display*>(display_));
    }
}

std::vector<std::uint32_t> XRootShot::Take(int width, int height) {
    auto* display = static_cast<Display*>(display_);
    if (display == nullptr) {
        return {};
    }
    XImage* image = XGetImage(display, DefaultRootWindow(display), 0, 0,
                              static_cast<unsigned>(width), static_cast<unsigned>(height),
                              AllPlanes, ZPixmap);
    if (image == nullptr) {
        return {};
    }
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            pixels[static_cast<std::size_t>(y) * width + x] =
                static_cast<std::uint32_t>(XGetPixel(image, x, y)) & 0xFFFFFFu;
        }
    }
    XDestroyImage(image);
    return pixels;
}

}  // namespace vorn::test
