#include "ui/SkinAreas.h"

namespace vorn {

QRect SkinAreas::Rect(int left, int top, int right, int bottom) {
    return QRect(QPoint(left, top), QSize(right - left, bottom - top));
}

QRegion SkinAreas::Ellipse(int left, int top, int right, int bottom) {
    return QRegion(Rect(left, top, right, bottom), QRegion::Ellipse);
}

QRegion SkinAreas::PlayButton() {
    return QRegion(PlayEllipseRect(), QRegion::Ellipse);
}

QRegion SkinAreas::BackButton() {
    const QRegion ring = QRegion(RingEllipseRect(), QRegion::Ellipse) - PlayButton();
    return ring & Rect(23, 17, kRingSplitX, 118);
}

QRegion SkinAreas::ForwardButton() {
    const QRegion ring = QRegion(RingEllipseRect(), QRegion::Ellipse) - PlayButton();
    return ring & Rect(kRingSplitX, 17, 122, 118);
}

}  // namespace vorn
