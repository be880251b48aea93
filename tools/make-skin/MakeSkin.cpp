// Draws Vorn's skin: the ten 430 x 130 window pictures that the main window
// loads from resources/, laid out for its control areas, the same ten drawn
// again at twice the resolution for HiDPI screens ("name@2x.png", 860 x 260),
// and the application icon (also at the desktop's smaller sizes, in
// resources/icons/). Every picture is the whole window in one state; a
// control copies only the pixels inside its own area from it.
//
//     QT_QPA_PLATFORM=offscreen build/tools/make-skin/vorn-make-skin [folder]
//
// writes into `folder` (default "resources"). Only fully opaque pixels belong
// to the window, so the outline is drawn with a hard edge: every pixel of the
// window pictures is either fully opaque or fully transparent, except in the
// display overlay, whose alpha is meant to blend. The window's shape is made of
// whole logical pixels, so the 2x pictures keep the 1x outline exactly: each
// opaque 1x pixel is an opaque 2 x 2 block, each transparent one a transparent
// block; only what lies inside is drawn at the finer resolution.

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>
#include <cstdio>
#include <string>

namespace {

constexpr int kWidth = 430;
constexpr int kHeight = 130;

// Control areas of the main window (ellipses and rectangles as left, top,
// width, height; the hit areas exclude right and bottom edges).
const QPointF kPadCentre(72.5, 67.5);     // centre of the ring ellipse (23, 17, 122, 118)
const QRectF kRingRect(23, 17, 99, 101);
const QRectF kPlayRect(44, 38, 56, 57);   // play ellipse (44, 38, 100, 95)
const QPointF kPlayCentre(72, 66.5);
const QRect kPlayBox(44, 38, 56, 57);     // what the play button repaints
constexpr double kSplitX = 73;            // back button left of it, forward from it
const QRect kDisplayRect(137, 38, 259, 41);
constexpr int kStarsLeft = 220;
constexpr int kStarsTop = 85;
constexpr int kStarWidth = 32;
constexpr int kStarsHeight = 18;

// The case: a round pad housing joined to a rounded bar.
constexpr double kHousingRadius = 60;
const QRectF kBodyRect(60, 24, 364, 88);
constexpr double kBodyRadius = 18;
constexpr double kFilletRadius = 10;
// The pressed look of the ring halves starts beyond every pixel of the play
// button's box (at most 40.3 from the centre), so repainting the play button
// never cuts into a pressed ring.
constexpr double kPressRampStart = 40.6;
constexpr double kPressRampEnd = 45.0;

const QColor kRim(9, 10, 12);
const QColor kBodyTop(70, 76, 86);
const QColor kBodyMiddle(47, 51, 58);
const QColor kBodyBottom(27, 30, 35);
const QColor kRecess(13, 15, 18);
const QColor kBezel(11, 13, 16);
const QColor kIconLight(236, 240, 245);
const QColor kAccent(38, 166, 255);
const QColor kAccentLight(120, 206, 255);
const QColor kAccentDeep(8, 82, 176);

enum class PlayLook { PlayUp, PlayPressed, PauseUp, PausePressed };

struct SkinState {
    bool backPressed = false;
    bool forwardPressed = false;
    PlayLook play = PlayLook::PlayUp;
    bool starsOn = false;
    bool displayFaceOnly = false;  // the white face without its glass
};

QColor Alpha(QColor colour, int alpha) {
    colour.setAlpha(alpha);
    return colour;
}

// Fills the concave corner between the pad housing and the body's top or
// bottom edge with a quarter-round of kFilletRadius.
QPainterPath Fillet(double edgeY, bool above) {
    const double r = kFilletRadius;
    const double d = kHousingRadius + r;
    const double cy = above ? edgeY - r : edgeY + r;
    const double dy = cy - kPadCentre.y();
    const QPointF centre(kPadCentre.x() + std::sqrt(d * d - dy * dy), cy);
    const QPointF onHousing = kPadCentre + (centre - kPadCentre) * (kHousingRadius / d);
    QPainterPath wedge;
    wedge.moveTo(onHousing);
    wedge.lineTo(centre.x(), edgeY);
    wedge.lineTo(onHousing.x(), edgeY);
    wedge.closeSubpath();
    QPainterPath round;
    round.addEllipse(centre, r, r);
    return wedge.subtracted(round);
}

QPainterPath WindowShape() {
    QPainterPath housing;
    housing.addEllipse(kPadCentre, kHousingRadius, kHousingRadius);
    QPainterPath body;
    body.addRoundedRect(kBodyRect, kBodyRadius, kBodyRadius);
    return housing.united(body)
        .united(Fillet(kBodyRect.top(), true))
        .united(Fillet(kBodyRect.bottom(), false))
        .simplified();
}

QPainterPath StarPath(QPointF centre, double outer, double inner) {
    QPainterPath star;
    for (int i = 0; i < 10; ++i) {
        const double angle = -M_PI / 2 + i * M_PI / 5;
        const double r = i % 2 == 0 ? outer : inner;
        const QPointF p = centre + QPointF(std::cos(angle) * r, std::sin(angle) * r);
        if (i == 0) {
            star.moveTo(p);
        } else {
            star.lineTo(p);
        }
    }
    star.closeSubpath();
    return star;
}

// The case: fill, the light catching its upper edges, the dark lower edges and
// the rim.
void PaintCase(QPainter& p, const QPainterPath& shape) {
    QLinearGradient fill(0, 8, 0, 127);
    fill.setColorAt(0.0, kBodyTop);
    fill.setColorAt(0.45, kBodyMiddle);
    fill.setColorAt(1.0, kBodyBottom);
    p.fillPath(shape, kRim);
    p.fillPath(shape, fill);

    // A faint horizontal sheen across the bar.
    QLinearGradient sheen(0, 24, 0, 70);
    sheen.setColorAt(0.0, QColor(255, 255, 255, 26));
    sheen.setColorAt(1.0, QColor(255, 255, 255, 0));
    p.fillPath(shape, sheen);

    p.save();
    p.setClipPath(shape);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(255, 255, 255, 58), 1.2));
    p.drawPath(shape.translated(0, 1.6));
    p.setPen(QPen(QColor(0, 0, 0, 90), 1.4));
    p.drawPath(shape.translated(0, -1.6));
    p.setPen(QPen(kRim, 2.2));
    p.drawPath(shape);
    p.restore();
}

// A small speaker grille at the right end of the bar.
void PaintGrille(QPainter& p) {
    for (int column = 0; column < 3; ++column) {
        for (int row = 0; row < 9; ++row) {
            const QPointF hole(406.5 + column * 5.5, 44.5 + row * 6 + (column % 2) * 3);
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(255, 255, 255, 26));
            p.drawEllipse(hole + QPointF(0, 0.8), 1.4, 1.4);
            p.setBrush(kRecess);
            p.drawEllipse(hole, 1.35, 1.35);
        }
    }
}

// The "vorn" logotype, drawn as strokes, with an accent dot.
void PaintWordmark(QPainter& p) {
    const double x = 143;
    const double top = 89.5;   // x-height line
    const double base = 99.5;  // baseline
    QPainterPath word;
    // v
    word.moveTo(x, top);
    word.lineTo(x + 4, base);
    word.lineTo(x + 8, top);
    // o
    word.addEllipse(QPointF(x + 16, (top + base) / 2), 4.4, 5.0);
    // r
    word.moveTo(x + 25, base);
    word.lineTo(x + 25, top);
    word.moveTo(x + 25, top + 4.5);
    word.cubicTo(x + 25, top + 1, x + 28, top - 0.2, x + 31.5, top + 0.4);
    // n
    word.moveTo(x + 35, base);
    word.lineTo(x + 35, top);
    word.moveTo(x + 35, top + 4.2);
    word.cubicTo(x + 35, top + 0.5, x + 43, top - 0.8, x + 43, top + 4.5);
    word.lineTo(x + 43, base);

    QPen pen(QColor(0, 0, 0, 110), 2.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setBrush(Qt::NoBrush);
    p.setPen(pen);
    p.drawPath(word.translated(0, 1));
    pen.setColor(QColor(214, 219, 226));
    p.setPen(pen);
    p.drawPath(word);

    p.setPen(Qt::NoPen);
    p.setBrush(kAccent);
    p.drawEllipse(QPointF(x + 49, base - 1.2), 1.7, 1.7);
}

void PaintDisplayBezel(QPainter& p) {
    const QRectF outer = QRectF(kDisplayRect).adjusted(-4, -4, 4, 4);
    QLinearGradient lip(0, outer.top(), 0, outer.bottom());
    lip.setColorAt(0.0, QColor(0, 0, 0, 150));
    lip.setColorAt(1.0, QColor(255, 255, 255, 55));
    p.setPen(Qt::NoPen);
    p.setBrush(lip);
    p.drawRoundedRect(outer.adjusted(-1, -1, 1, 1), 8, 8);
    p.setBrush(kBezel);
    p.drawRoundedRect(outer, 7, 7);
}

// The display's face: plain white under the text, exactly the display box.
void PaintDisplayFace(QPainter& p) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing, false);
    p.fillRect(kDisplayRect, Qt::white);
    p.restore();
}

// The glass over the display: a cool tint, an inner shadow, a gloss over the
// upper part and the rounded corners of the window in the bezel.
QImage DisplayOverlay(int scale) {
    QImage overlay(QSize(kWidth, kHeight) * scale, QImage::Format_ARGB32_Premultiplied);
    overlay.setDevicePixelRatio(scale);
    overlay.fill(Qt::transparent);
    QPainter p(&overlay);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF box(kDisplayRect);
    p.setClipRect(box);

    p.fillRect(box, QColor(176, 208, 226, 52));

    QLinearGradient top(0, box.top(), 0, box.top() + 6);
    top.setColorAt(0.0, QColor(0, 10, 20, 95));
    top.setColorAt(1.0, QColor(0, 10, 20, 0));
    p.fillRect(box, top);
    QLinearGradient left(box.left(), 0, box.left() + 5, 0);
    left.setColorAt(0.0, QColor(0, 10, 20, 60));
    left.setColorAt(1.0, QColor(0, 10, 20, 0));
    p.fillRect(box, left);
    QLinearGradient right(box.right() + 1, 0, box.right() - 4, 0);
    right.setColorAt(0.0, QColor(0, 10, 20, 45));
    right.setColorAt(1.0, QColor(0, 10, 20, 0));
    p.fillRect(box, right);

    QPainterPath gloss;
    gloss.moveTo(box.left(), box.top());
    gloss.lineTo(box.right() + 1, box.top());
    gloss.lineTo(box.right() + 1, box.top() + 9);
    gloss.cubicTo(box.left() + 190, box.top() + 13, box.left() + 90, box.top() + 20,
                  box.left(), box.top() + 23);
    gloss.closeSubpath();
    QLinearGradient shine(0, box.top(), 0, box.top() + 23);
    shine.setColorAt(0.0, QColor(255, 255, 255, 105));
    shine.setColorAt(1.0, QColor(255, 255, 255, 18));
    p.fillPath(gloss, shine);

    QPainterPath corners;
    corners.addRect(box);
    QPainterPath rounded;
    rounded.addRoundedRect(box, 5, 5);
    p.fillPath(corners.subtracted(rounded), kBezel);
    return overlay;
}

void PaintStars(QPainter& p, bool on) {
    // A shallow track behind the stars (outside the columns it is never repainted).
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 46));
    p.drawRoundedRect(QRectF(kStarsLeft - 3, kStarsTop - 1.5, 5 * kStarWidth + 6, kStarsHeight + 3),
                      10, 10);
    for (int i = 0; i < 5; ++i) {
        const QPointF centre(kStarsLeft + i * kStarWidth + kStarWidth / 2.0,
                             kStarsTop + kStarsHeight / 2.0 + 0.8);
        const QPainterPath star = StarPath(centre, 8.4, 3.7);
        if (on) {
            QRadialGradient glow(centre, 9.5);
            glow.setColorAt(0.0, QColor(255, 180, 40, 120));
            glow.setColorAt(1.0, QColor(255, 180, 40, 0));
            p.setBrush(glow);
            p.drawEllipse(centre, 9.5, 9.5);
            QLinearGradient fill(0, centre.y() - 8, 0, centre.y() + 7);
            fill.setColorAt(0.0, QColor(255, 236, 150));
            fill.setColorAt(0.55, QColor(255, 196, 46));
            fill.setColorAt(1.0, QColor(240, 142, 10));
            p.setPen(QPen(QColor(150, 86, 6), 0.8));
            p.setBrush(fill);
            p.drawPath(star);
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(255, 255, 255, 120));
            p.drawPath(StarPath(centre + QPointF(-0.6, -1.2), 3.2, 1.4));
        } else {
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(255, 255, 255, 30));
            p.drawPath(star.translated(0, 1));
            QLinearGradient fill(0, centre.y() - 8, 0, centre.y() + 7);
            fill.setColorAt(0.0, QColor(30, 33, 38));
            fill.setColorAt(1.0, QColor(62, 68, 78));
            p.setPen(QPen(QColor(104, 112, 124, 150), 0.8));
            p.setBrush(fill);
            p.drawPath(star);
        }
    }
}

// |<< or >>|, centred on `centre`.
void PaintSkipIcon(QPainter& p, QPointF centre, bool forward, QColor colour, bool glow) {
    QPainterPath icon;
    const double h = 5.2;
    double x = -7.6;
    for (int i = 0; i < 2; ++i) {
        icon.moveTo(x, -h);
        icon.lineTo(x + 6.3, 0);
        icon.lineTo(x, h);
        icon.closeSubpath();
        x += 6.0;
    }
    icon.addRoundedRect(QRectF(x + 0.6, -h, 2.4, 2 * h), 0.8, 0.8);
    QTransform place;
    place.translate(centre.x(), centre.y());
    if (!forward) {
        place.scale(-1, 1);
    }
    const QPainterPath placed = place.map(icon);
    p.setPen(Qt::NoPen);
    if (glow) {
        for (int spread = 3; spread >= 1; --spread) {
            p.setPen(QPen(Alpha(kAccent, 38), spread * 2.0, Qt::SolidLine, Qt::RoundCap,
                          Qt::RoundJoin));
            p.setBrush(Qt::NoBrush);
            p.drawPath(placed);
        }
        p.setPen(Qt::NoPen);
    } else {
        p.setBrush(QColor(0, 0, 0, 120));
        p.drawPath(placed.translated(0, 1.1));
    }
    p.setBrush(colour);
    p.drawPath(placed);
}

QPainterPath RingPath() {
    QPainterPath ring;
    ring.addEllipse(kRingRect);
    QPainterPath inner;
    inner.addEllipse(kPlayRect);
    return ring.subtracted(inner);
}

// The ring's darker, hollow look while one half is held down, fading in from
// kPressRampStart outwards.
void PaintPressedHalf(QPainter& p, bool forward) {
    const qreal scale = p.device()->devicePixelRatioF();
    QImage layer(QSize(kWidth, kHeight) * scale, QImage::Format_ARGB32_Premultiplied);
    layer.setDevicePixelRatio(scale);
    layer.fill(Qt::transparent);
    {
        QPainter lp(&layer);
        lp.setRenderHint(QPainter::Antialiasing);
        QPainterPath half;
        half.addRect(forward ? QRectF(kSplitX, 0, kWidth, kHeight) : QRectF(0, 0, kSplitX, kHeight));
        half = RingPath().intersected(half);
        QLinearGradient dark(0, kRingRect.top(), 0, kRingRect.bottom());
        dark.setColorAt(0.0, QColor(0, 0, 0, 215));
        dark.setColorAt(1.0, QColor(0, 0, 0, 130));
        lp.fillPath(half, dark);
        QRadialGradient glow(kPadCentre, 52);
        glow.setColorAt(0.78, Alpha(kAccent, 0));
        glow.setColorAt(0.97, Alpha(kAccent, 120));
        lp.fillPath(half, glow);
        // A lit edge along the held half.
        lp.setBrush(Qt::NoBrush);
        lp.setPen(QPen(Alpha(kAccentLight, 230), 1.8, Qt::SolidLine, Qt::RoundCap));
        lp.drawArc(kRingRect.adjusted(2.2, 2.2, -2.2, -2.2), (forward ? -78 : 102) * 16, 156 * 16);

        const double reach = kHousingRadius;
        QRadialGradient ramp(kPadCentre, reach);
        ramp.setColorAt(0.0, Qt::transparent);
        ramp.setColorAt(kPressRampStart / reach, Qt::transparent);
        ramp.setColorAt(kPressRampEnd / reach, Qt::black);
        ramp.setColorAt(1.0, Qt::black);
        lp.setCompositionMode(QPainter::CompositionMode_DestinationIn);
        lp.fillRect(layer.rect(), ramp);
    }
    p.drawImage(0, 0, layer);
}

void PaintRing(QPainter& p, const SkinState& state) {
    // The recess the ring sits in.
    p.setPen(Qt::NoPen);
    QRadialGradient moat(kPadCentre, 56);
    moat.setColorAt(0.85, kRecess);
    moat.setColorAt(1.0, QColor(30, 33, 38));
    p.setBrush(moat);
    p.drawEllipse(kRingRect.adjusted(-4.5, -4.5, 4.5, 4.5));
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(255, 255, 255, 40), 1.0));
    p.drawArc(kRingRect.adjusted(-5, -5, 5, 5), 200 * 16, 140 * 16);

    const QPainterPath ring = RingPath();
    QLinearGradient metal(0, kRingRect.top(), 0, kRingRect.bottom());
    metal.setColorAt(0.0, QColor(150, 158, 170));
    metal.setColorAt(0.5, QColor(96, 104, 116));
    metal.setColorAt(1.0, QColor(52, 57, 65));
    p.fillPath(ring, metal);
    // Satin: soft light falling across from the upper left.
    QRadialGradient satin(kPadCentre + QPointF(-22, -30), 70);
    satin.setColorAt(0.0, QColor(255, 255, 255, 60));
    satin.setColorAt(1.0, QColor(255, 255, 255, 0));
    p.fillPath(ring, satin);

    if (state.backPressed) PaintPressedHalf(p, false);
    if (state.forwardPressed) PaintPressedHalf(p, true);

    // Edges: a bright top lip on the outside, dark grooves around and between.
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(255, 255, 255, 70), 1.0));
    p.drawArc(kRingRect.adjusted(1.2, 1.2, -1.2, -1.2), 30 * 16, 120 * 16);
    p.setPen(QPen(kRim, 1.6));
    p.drawEllipse(kRingRect);
    p.setPen(QPen(QColor(4, 5, 6), 2.6));
    p.drawEllipse(kPlayRect.adjusted(0.6, 0.6, -0.6, -0.6));
    p.setPen(QPen(QColor(8, 9, 11), 1.6));
    p.drawLine(QPointF(kSplitX - 0.5, kRingRect.top()), QPointF(kSplitX - 0.5, kPlayRect.top()));
    p.drawLine(QPointF(kSplitX - 0.5, kPlayRect.bottom()),
               QPointF(kSplitX - 0.5, kRingRect.bottom()));
    p.setPen(QPen(QColor(255, 255, 255, 45), 1.0));
    p.drawLine(QPointF(kSplitX + 1, kRingRect.top() + 1), QPointF(kSplitX + 1, kPlayRect.top()));
    p.drawLine(QPointF(kSplitX + 1, kPlayRect.bottom() + 1),
               QPointF(kSplitX + 1, kRingRect.bottom() - 1));

    const double iconOffset = 39.5;
    PaintSkipIcon(p, kPadCentre + QPointF(-iconOffset, 0), false,
                  state.backPressed ? kAccentLight : kIconLight, state.backPressed);
    PaintSkipIcon(p, kPadCentre + QPointF(iconOffset, 0), true,
                  state.forwardPressed ? kAccentLight : kIconLight, state.forwardPressed);
}

void PaintPlayButton(QPainter& p, PlayLook look) {
    const bool pressed = look == PlayLook::PlayPressed || look == PlayLook::PausePressed;
    const bool pause = look == PlayLook::PauseUp || look == PlayLook::PausePressed;
    const QRectF disc = kPlayRect.adjusted(2.2, 2.2, -2.2, -2.2);

    if (pause) {
        // Playing: the groove glows in the accent colour.
        p.setPen(QPen(Alpha(kAccent, pressed ? 150 : 210), 1.6));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(kPlayRect.adjusted(1.3, 1.3, -1.3, -1.3));
    }

    QRadialGradient body(kPlayCentre + QPointF(0, pressed ? 8 : -2), 34,
                         kPlayCentre + QPointF(pressed ? 0 : -7, pressed ? 14 : -13));
    if (pressed) {
        body.setColorAt(0.0, QColor(24, 120, 214));
        body.setColorAt(0.6, QColor(10, 78, 160));
        body.setColorAt(1.0, QColor(5, 48, 104));
    } else {
        body.setColorAt(0.0, QColor(112, 204, 255));
        body.setColorAt(0.45, kAccent);
        body.setColorAt(1.0, kAccentDeep);
    }
    p.setPen(Qt::NoPen);
    p.setBrush(body);
    p.drawEllipse(disc);

    if (pressed) {
        QLinearGradient shade(0, disc.top(), 0, disc.top() + 14);
        shade.setColorAt(0.0, QColor(0, 0, 0, 110));
        shade.setColorAt(1.0, QColor(0, 0, 0, 0));
        p.setBrush(shade);
        p.drawEllipse(disc);
    } else {
        QLinearGradient gloss(0, disc.top(), 0, disc.top() + disc.height() * 0.52);
        gloss.setColorAt(0.0, QColor(255, 255, 255, 130));
        gloss.setColorAt(1.0, QColor(255, 255, 255, 8));
        p.setBrush(gloss);
        p.drawEllipse(QRectF(disc.left() + 7, disc.top() + 1.5, disc.width() - 14,
                             disc.height() * 0.5));
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(QColor(255, 255, 255, 60), 1.0));
        p.drawArc(disc.adjusted(0.5, 0.5, -0.5, -0.5), 20 * 16, 140 * 16);
    }

    const QPointF centre = kPlayCentre + QPointF(0, pressed ? 1.0 : 0.0);
    QPainterPath icon;
    if (pause) {
        icon.addRoundedRect(QRectF(centre.x() - 8, centre.y() - 9, 5.6, 18), 1.4, 1.4);
        icon.addRoundedRect(QRectF(centre.x() + 2.4, centre.y() - 9, 5.6, 18), 1.4, 1.4);
    } else {
        const QPointF c = centre + QPointF(2, 0);  // the eye centres a triangle by its mass
        icon.moveTo(c + QPointF(-8, -10));
        icon.lineTo(c + QPointF(10, 0));
        icon.lineTo(c + QPointF(-8, 10));
        icon.closeSubpath();
    }
    const QColor iconColour = pressed ? QColor(205, 226, 250) : QColor(255, 255, 255);
    p.setPen(QPen(QColor(0, 30, 70, 110), 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(QColor(0, 30, 70, 110));
    p.drawPath(icon.translated(0, 1.3));
    p.setPen(QPen(iconColour, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(iconColour);
    p.drawPath(icon);
}

// The window in one state, `overlay.devicePixelRatio()` pixels per window pixel.
QImage PaintArt(const SkinState& state, const QPainterPath& shape, const QImage& overlay) {
    const qreal scale = overlay.devicePixelRatio();
    QImage art(QSize(kWidth, kHeight) * scale, QImage::Format_ARGB32_Premultiplied);
    art.setDevicePixelRatio(scale);
    art.fill(Qt::transparent);
    QPainter p(&art);
    p.setRenderHint(QPainter::Antialiasing);
    PaintCase(p, shape);
    PaintGrille(p);
    PaintWordmark(p);
    PaintDisplayBezel(p);
    PaintDisplayFace(p);
    if (!state.displayFaceOnly) {
        p.drawImage(0, 0, overlay);
    }
    PaintStars(p, state.starsOn);
    PaintRing(p, state);
    PaintPlayButton(p, state.play);
    return art;
}

// The outline in window pixels: opaque where a pixel's centre lies inside the shape.
QImage Outline(const QPainterPath& shape) {
    QImage mask(kWidth, kHeight, QImage::Format_ARGB32_Premultiplied);
    mask.fill(Qt::transparent);
    QPainter mp(&mask);
    mp.setRenderHint(QPainter::Antialiasing, false);
    mp.fillPath(shape, Qt::black);
    return mask;
}

// Keeps exactly the pixels that lie in an opaque pixel of the 1x outline, made
// fully opaque over the rim colour; everything else becomes fully transparent.
QImage HardEdge(const QImage& art, const QImage& outline) {
    const int scale = static_cast<int>(art.devicePixelRatio());
    QImage out(art.size(), QImage::Format_ARGB32);
    for (int y = 0; y < art.height(); ++y) {
        const auto* in = reinterpret_cast<const QRgb*>(art.constScanLine(y));
        const auto* inside = reinterpret_cast<const QRgb*>(outline.constScanLine(y / scale));
        auto* to = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < art.width(); ++x) {
            if (qAlpha(inside[x / scale]) != 255) {
                to[x] = 0;
                continue;
            }
            const QRgb c = in[x];  // premultiplied
            const int rest = 255 - qAlpha(c);
            to[x] = qRgba(qRed(c) + kRim.red() * rest / 255, qGreen(c) + kRim.green() * rest / 255,
                          qBlue(c) + kRim.blue() * rest / 255, 255);
        }
    }
    return out;
}

// The application icon: the round pad on its own.
QImage Icon(int size) {
    QImage icon(size, size, QImage::Format_ARGB32_Premultiplied);
    icon.fill(Qt::transparent);
    QPainter p(&icon);
    p.setRenderHint(QPainter::Antialiasing);
    const double scale = size / (2 * kHousingRadius + 4);
    p.translate(size / 2.0, size / 2.0);
    p.scale(scale, scale);
    p.translate(-kPadCentre);
    QPainterPath housing;
    housing.addEllipse(kPadCentre, kHousingRadius, kHousingRadius);
    PaintCase(p, housing);
    PaintRing(p, SkinState{});
    PaintPlayButton(p, PlayLook::PlayUp);
    return icon.convertToFormat(QImage::Format_ARGB32);
}

// Saves "name.png", or "name@2x.png" for a picture drawn at twice the resolution.
bool Save(const QImage& image, const QString& folder, const char* name, int scale = 1) {
    const QString path = folder + "/" + name + (scale == 1 ? QString() : QString("@%1x").arg(scale)) + ".png";
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "vorn-make-skin: writing %s failed\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// The ten window pictures at `scale` pixels per window pixel.
bool SaveWindowPictures(const QString& folder, const QPainterPath& shape, const QImage& outline, int scale) {
    const QImage overlay = DisplayOverlay(scale);
    auto render = [&](const SkinState& state) { return HardEdge(PaintArt(state, shape, overlay), outline); };

    const QImage up = render(SkinState{});
    // A held ring half must not differ inside the play button's box, which is
    // repainted over it from the play button's own picture.
    const QRect playBox(kPlayBox.topLeft() * scale, kPlayBox.size() * scale);
    auto pressedRing = [&](SkinState state) {
        QImage image = render(state);
        QPainter p(&image);
        p.setCompositionMode(QPainter::CompositionMode_Source);
        p.drawImage(playBox.topLeft(), up, playBox);
        return image;
    };
    SkinState forward;
    forward.forwardPressed = true;
    SkinState back;
    back.backPressed = true;
    SkinState playPressed;
    playPressed.play = PlayLook::PlayPressed;
    SkinState pauseUp;
    pauseUp.play = PlayLook::PauseUp;
    SkinState pausePressed;
    pausePressed.play = PlayLook::PausePressed;
    SkinState starsOn;
    starsOn.starsOn = true;
    SkinState face;
    face.displayFaceOnly = true;

    bool ok = true;
    ok &= Save(up, folder, "vorn background", scale);
    ok &= Save(up, folder, "buttons up stars off", scale);
    ok &= Save(pressedRing(forward), folder, "vorn forward click", scale);
    ok &= Save(pressedRing(back), folder, "vorn back click", scale);
    ok &= Save(render(playPressed), folder, "vorn play button click", scale);
    ok &= Save(render(pauseUp), folder, "vorn pause button", scale);
    ok &= Save(render(pausePressed), folder, "vorn pause button click", scale);
    ok &= Save(render(starsOn), folder, "vorn stars on", scale);
    ok &= Save(render(face), folder, "vorn white display", scale);
    QImage glass = overlay.convertToFormat(QImage::Format_ARGB32);
    glass.setDevicePixelRatio(1);
    ok &= Save(glass, folder, "transparent menu screen", scale);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString("resources");
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "vorn-make-skin: cannot create %s\n", qPrintable(folder));
        return 1;
    }

    const QPainterPath shape = WindowShape();
    const QImage outline = Outline(shape);
    bool ok = true;
    for (const int scale : {1, 2}) {
        ok &= SaveWindowPictures(folder, shape, outline, scale);
    }
    ok &= Save(Icon(256), folder, "vorn icon");
    // The desktop's icon theme sizes below the 256-pixel one, drawn at their own
    // size rather than scaled down, so the ring's edges stay sharp.
    ok &= QDir(folder).mkpath("icons");
    ok &= Save(Icon(48), folder, "icons/vorn 48");
    ok &= Save(Icon(128), folder, "icons/vorn 128");
    return ok ? 0 : 1;
}
