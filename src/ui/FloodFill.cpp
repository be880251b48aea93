#include "ui/FloodFill.h"

#include <vector>

namespace vorn {

int FloodFillToBorder(QImage& image, QPoint start, QRgb fill, QRgb border) {
    if (image.depth() != 32 || !image.rect().contains(start)) {
        return 0;
    }
    const int width = image.width();
    const int height = image.height();
    const QRgb borderColour = border & 0x00FFFFFFu;
    std::vector<bool> done(static_cast<std::size_t>(width) * height, false);
    auto open = [&](int x, int y) {
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        return !done[static_cast<std::size_t>(y) * width + x] &&
               (row[x] & 0x00FFFFFFu) != borderColour;
    };
    if (!open(start.x(), start.y())) {
        return 0;
    }
    // Scan-line fill: each stacked seed fills its whole horizontal span and
    // seeds the rows above and below it.
    int changed = 0;
    std::vector<QPoint> seeds{start};
    while (!seeds.empty()) {
        const QPoint seed = seeds.back();
        seeds.pop_back();
        const int y = seed.y();
        if (!open(seed.x(), y)) {
            continue;
        }
        int left = seed.x();
        while (left > 0 && open(left - 1, y)) {
            --left;
        }
        int right = seed.x();
        while (right + 1 < width && open(right + 1, y)) {
            ++right;
        }
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = left; x <= right; ++x) {
            row[x] = fill;
            done[static_cast<std::size_t>(y) * width + x] = true;
            ++changed;
        }
        for (int ny : {y - 1, y + 1}) {
            if (ny < 0 || ny >= height) {
                continue;
            }
            bool inSpan = false;
            for (int x = left; x <= right; ++x) {
                const bool isOpen = open(x, ny);
                if (isOpen && !inSpan) {
                    seeds.emplace_back(x, ny);
                }
                inSpan = isOpen;
            }
        }
    }
    return changed;
}

}  // namespace vorn
