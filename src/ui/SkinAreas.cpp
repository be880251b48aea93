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

namespace {

QPainterPath RingHalf(const QRect& half) {
    QPainterPath outer;
    outer.addEllipse(QRectF(SkinAreas::RingEllipseRect()));
    QPainterPath inner;
    inner.addEllipse(QRectF(SkinAreas::PlayEllipseRect()));
    QPainterPath side;
    side.addRect(QRectF(half));
    return outer.subtracted(inner).intersected(side).simplified();
}

QPainterPath RoundedBox(const QRect& box, qreal radius) {
    QPainterPath path;
    path.addRoundedRect(QRectF(box), radius, radius);
    return path;
}

}  // namespace

QPainterPath SkinAreas::PlayOutline() {
    QPainterPath path;
    path.addEllipse(QRectF(PlayEllipseRect()).adjusted(2, 2, -2, -2));
    return path;
}

QPainterPath SkinAreas::BackOutline() { return RingHalf(Rect(23, 17, kRingSplitX, 118)); }

QPainterPath SkinAreas::ForwardOutline() { return RingHalf(Rect(kRingSplitX, 17, 122, 118)); }

QPainterPath SkinAreas::RatingOutline() {
    return RoundedBox(RatingControl().boundingRect().adjusted(-2, -2, 2, 2), 4);
}

QPainterPath SkinAreas::DisplayOutline() {
    return RoundedBox(DisplayControl().boundingRect().adjusted(2, 2, -2, -2), 4);
}

}  // namespace vorn
