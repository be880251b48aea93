#pragma once

#include <QPainterPath>
#include <QRect>
#include <QRegion>

namespace vorn {

// The control areas of the main window's skin, in window client coordinates.
// Ellipses and rectangles are given as left, top, right, bottom with the right
// and bottom edges excluded; the artwork is drawn to match them.
class SkinAreas {
public:
    // Rectangle from left, top, right, bottom (right and bottom excluded).
    static QRect Rect(int left, int top, int right, int bottom);
    // Ellipse inscribed in that rectangle.
    static QRegion Ellipse(int left, int top, int right, int bottom);

    static QRect PlayEllipseRect() { return Rect(44, 38, 100, 95); }
    static QRect RingEllipseRect() { return Rect(23, 17, 122, 118); }
    static constexpr int kRingSplitX = 73;  // back half left of it, forward half from it

    static QRegion PlayButton();
    static QRegion BackButton();     // left half of the ring around the play button
    static QRegion ForwardButton();  // right half of that ring
    static QRegion RatingControl() { return Rect(220, 85, 380, 103); }
    static QRegion DisplayControl() { return Rect(137, 38, 396, 79); }

    // The outlines the keyboard's focus mark follows around each control.
    static QPainterPath PlayOutline();
    static QPainterPath BackOutline();
    static QPainterPath ForwardOutline();
    static QPainterPath RatingOutline();
    static QPainterPath DisplayOutline();
};

}  // namespace vorn
