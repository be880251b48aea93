#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn::test {

// Reads the root window of an X display, as the X server has it. Kept apart
// from Qt: Xlib's macros clash with Qt's headers.
class XRootShot {
public:
    explicit XRootShot(const std::string& display);
    ~XRootShot();
    XRootShot(const XRootShot&) = delete;
    XRootShot& operator=(const XRootShot&) = delete;

    bool Ok() const { return display_ != nullptr; }
    // 0xRRGGBB per pixel, rows from the top; empty when the read failed.
    std::vector<std::uint32_t> Take(int width, int height);

private:
    void* display_;
};

}  // namespace vorn::test
