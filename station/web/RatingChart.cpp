#include "station/web/RatingChart.h"

#include <algorithm>

namespace vorn::station {
namespace {

constexpr int kWidth = 360;
constexpr int kHeight = 180;
constexpr int kTop = 24;     // room for the counts above the bars
constexpr int kBottom = 28;  // room for the star labels
constexpr int kSlot = kWidth / 5;
constexpr int kBar = 44;

std::string Stars(int value) { return std::to_string(value) + (value == 1 ? " star" : " stars"); }

}  // namespace

std::string RatingChart(const std::array<int, 5>& starCounts) {
    const int most = std::max(1, *std::max_element(starCounts.begin(), starCounts.end()));
    const int plot = kHeight - kTop - kBottom;
    std::string description;
    for (int value = 1; value <= 5; ++value) {
        description += (value > 1 ? ", " : "") + Stars(value) + ": " + std::to_string(starCounts[value - 1]);
    }
    std::string svg = "<svg class=\"chart\" role=\"img\" aria-label=\"Ratings given, by stars: " + description +
                      "\" width=\"" + std::to_string(kWidth) + "\" height=\"" + std::to_string(kHeight) +
                      "\" viewBox=\"0 0 " + std::to_string(kWidth) + " " + std::to_string(kHeight) +
                      "\" xmlns=\"http://www.w3.org/2000/svg\">\n<title>Ratings given, by stars</title>\n<desc>" +
                      description + "</desc>\n";
    svg += "<line x1=\"0\" y1=\"" + std::to_string(kHeight - kBottom) + "\" x2=\"" + std::to_string(kWidth) +
           "\" y2=\"" + std::to_string(kHeight - kBottom) + "\" stroke=\"#888\"/>\n";
    for (int value = 1; value <= 5; ++value) {
        const int count = std::max(0, starCounts[value - 1]);
        const int height = count * plot / most;
        const int x = (value - 1) * kSlot + (kSlot - kBar) / 2;
        const int y = kHeight - kBottom - height;
        const int middle = x + kBar / 2;
        svg += "<rect class=\"bar\" data-stars=\"" + std::to_string(value) + "\" data-count=\"" +
               std::to_string(count) + "\" x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y) +
               "\" width=\"" + std::to_string(kBar) + "\" height=\"" + std::to_string(height) +
               "\" fill=\"#2b5d8a\"><title>" + Stars(value) + ": " + std::to_string(count) + "</title></rect>\n";
        svg += "<text x=\"" + std::to_string(middle) + "\" y=\"" + std::to_string(y - 6) +
               "\" text-anchor=\"middle\" font-size=\"14\">" + std::to_string(count) + "</text>\n";
        svg += "<text x=\"" + std::to_string(middle) + "\" y=\"" + std::to_string(kHeight - 8) +
               "\" text-anchor=\"middle\" font-size=\"13\">" + Stars(value) + "</text>\n";
    }
    return svg + "</svg>";
}

}  // namespace vorn::station
