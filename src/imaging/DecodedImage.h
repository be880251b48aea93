#pragma once

#include <cstdint>
#include <vector>

namespace vorn {

// A decoded picture: 32 bits per pixel, in memory blue, green, red, alpha (the
// alpha is the top byte of each little-endian 32-bit pixel value), rows from the
// top, each row exactly Width() * 4 bytes. Colours are not premultiplied.
struct DecodedImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;  // width * height * 4 bytes

    int Stride() const { return width * 4; }
    std::uint8_t* Row(int y) { return pixels.data() + static_cast<std::size_t>(y) * Stride(); }
    const std::uint8_t* Row(int y) const {
        return pixels.data() + static_cast<std::size_t>(y) * Stride();
    }
};

}  // namespace vorn
