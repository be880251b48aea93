#include "ui/CVNDisplayControl.h"

#include <QFontDatabase>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <thread>

#include "tests/ui/UiTestSupport.h"
#include "ui/ControlCallback.h"
#include "ui/DisplayFolding.h"
#include "ui/FloodFill.h"
#include "ui/SkinAreas.h"

namespace vorn {
namespace {

using test::SameColour;

const QColor kGrey(128, 128, 128);
const QColor kBezel(40, 40, 40);

class CVNDisplayControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::EnsureApplication();
        cwd = std::make_unique<test::SourceTreeCwd>();
        background = test::SolidImage(kBezel);
        // The face: white inside the display box, with a grey patch joined to the
        // box's top-left corner (the flood fill whitens it) and a grey patch fenced
        // in by white at the right end of line 1 (left alone).
        face = test::MakeImage(430, 130, [](int x, int y) {
            const bool inBox = x >= 137 && x < 396 && y >= 38 && y < 79;
            if (!inBox) return kBezel;
            if (x < 147 && y < 41) return kGrey;
            if (x >= 385 && x < 390 && y >= 44 && y < 50) return kGrey;
            return QColor(Qt::white);
        });
        overlay = test::MakeImage(430, 130, [](int, int) { return QColor(0, 0, 0, 0); });
        dialog = std::make_unique<CSkinDialog>();
        dialog->SetBackground(background.get());
        callback = std::make_unique<ControlCallback>([this](int code) {
            clicks.push_back(code);
            return true;
        });
        Build(overlay.get());
        dialog->SetDraggable(true);
    }

    void Build(const CSkinImage* overlayImage) {
        display.reset();
        display = std::make_unique<CVNDisplayControl>("CVNDisplayControl", dialog.get(),
                                                      SkinAreas::DisplayControl(),
                                                      callback.get(), overlayImage, face.get());
        dialog->AddControl(display.get(), 1);
    }

    void TearDown() override {
        display.reset();
        dialog.reset();
    }

    QImage Drawn() {
        QImage target(CSkinDialog::kSkinWidth, CSkinDialog::kSkinHeight,
                      QImage::Format_ARGB32_Premultiplied);
        target.fill(Qt::transparent);
        QPainter dc(&target);
        EXPECT_TRUE(display->Draw(dc));
        return target;
    }

    static int CountPixels(const QImage& image, const QRect& rect,
                           const std::function<bool(QColor)>& match) {
        int count = 0;
        for (int y = rect.top(); y <= rect.bottom(); ++y) {
            for (int x = rect.left(); x <= rect.right(); ++x) {
                count += match(test::PixelAt(image, x, y)) ? 1 : 0;
            }
        }
        return count;
    }

    std::unique_ptr<test::SourceTreeCwd> cwd;
    std::unique_ptr<CSkinImage> background, face, overlay, realFace;
    std::unique_ptr<CSkinDialog> dialog;
    std::unique_ptr<ControlCallback> callback;
    std::unique_ptr<CVNDisplayControl> display;
    std::vector<int> clicks;
};

TEST_F(CVNDisplayControlTest, LinesSplitTheAreaAtItsMiddle) {
    EXPECT_EQ(display->Line1Rect(), QRect(QPoint(137, 38), QPoint(395, 57)));
    EXPECT_EQ(display->Line2Rect(), QRect(QPoint(137, 58), QPoint(395, 78)));
}

TEST_F(CVNDisplayControlTest, UsesTheFamilyThatTheBundledFontFileRegisters) {
    const int id = QFontDatabase::addApplicationFont("./resources/DIGIRT__.ttf");
    ASSERT_GE(id, 0);
    const QStringList families = QFontDatabase::applicationFontFamilies(id);
    ASSERT_FALSE(families.isEmpty());
    EXPECT_EQ(display->Font().family(), families.front());
}

// The display as a new user reads it: every letter and digit in its own cell,
// at 1x and through the window at 2x device pixels.
class DisplayLegibilityTest : public CVNDisplayControlTest {
protected:
    static constexpr const char* kAll = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

    // The window's pixels at `scale` device pixels per pixel, painted as the
    // window paints itself (from its surface), on the real display face.
    QImage Window(int scale) {
        QImage image(CSkinDialog::kSkinWidth * scale, CSkinDialog::kSkinHeight * scale,
                     QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(scale);
        image.fill(Qt::transparent);
        dialog->render(&image);
        return image;
    }

    // Cell `i` of line 1 in device pixels: the whole rows of the line.
    QRect Cell(int i, int scale) const {
        const double left = display->Line1Rect().left() + CVNDisplayControl::kTextMargin +
                            i * display->CellWidth();
        const int x0 = static_cast<int>(std::ceil(left * scale));
        const int x1 = static_cast<int>(std::floor((left + display->CellWidth()) * scale));
        const QRect line = display->Line1Rect();
        return QRect(x0, line.top() * scale, x1 - x0, line.height() * scale);
    }

    static bool Ink(QColor c) { return c.value() < 128; }

    // Every character of kAll drawn in line 1, as images of its cell.
    std::vector<QImage> Cells(int scale) {
        std::vector<QImage> cells;
        const std::string all = kAll;
        for (std::size_t from = 0; from < all.size(); from += CVNDisplayControl::kVisibleWidth) {
            const std::string part = all.substr(from, CVNDisplayControl::kVisibleWidth);
            display->SetLine1(part);
            dialog->RedrawControl(display->Name());
            const QImage window = Window(scale);
            for (std::size_t i = 0; i < part.size(); ++i) {
                cells.push_back(window.copy(Cell(static_cast<int>(i), scale)));
            }
        }
        return cells;
    }
};

TEST_F(DisplayLegibilityTest, EveryLetterAndDigitKeepsEachSegmentAWholePixelWide) {
    realFace = std::make_unique<CSkinImage>("./resources/vorn white display.png");
    ASSERT_TRUE(realFace->IsValid());
    face = std::move(realFace);
    Build(nullptr);
    const std::string all = kAll;
    for (int scale : {1, 2}) {
        SCOPED_TRACE("scale " + std::to_string(scale));
        const std::vector<QImage> cells = Cells(scale);
        ASSERT_EQ(cells.size(), all.size());
        std::map<std::string, char> seen;
        for (std::size_t n = 0; n < all.size(); ++n) {
            const QImage& cell = cells[n];
            const QString glyph(QChar::fromLatin1(all[n]));
            // Ink or face, nothing in between: no stroke thinner than a pixel.
            std::string key;
            QRect ink;
            for (int y = 0; y < cell.height(); ++y) {
                for (int x = 0; x < cell.width(); ++x) {
                    const QColor c = test::PixelAt(cell, x, y);
                    EXPECT_TRUE(c.value() < 64 || c.value() > 192)
                        << all[n] << " has a grey pixel at " << x << "," << y;
                    key += Ink(c) ? '#' : '.';
                    if (Ink(c)) ink |= QRect(x, y, 1, 1);
                }
            }
            ASSERT_FALSE(ink.isEmpty()) << all[n];
            const auto [other, fresh] = seen.emplace(key, all[n]);
            EXPECT_TRUE(fresh) << all[n] << " looks like " << other->second;
            // Every segment of the glyph's outline (one closed contour each) has
            // ink where its middle falls, the outline fitted to the drawn ink.
            QPainterPath path;
            path.addText(0, 0, display->Font(), glyph);
            const QRectF outline = path.boundingRect();
            const QList<QPolygonF> segments = path.toSubpathPolygons();
            ASSERT_FALSE(segments.isEmpty()) << all[n];
            for (const QPolygonF& segment : segments) {
                const QPointF middle = segment.boundingRect().center();
                const int x = ink.left() + static_cast<int>((middle.x() - outline.left()) /
                                                            outline.width() * (ink.width() - 1) + 0.5);
                const int y = ink.top() + static_cast<int>((middle.y() - outline.top()) /
                                                           outline.height() * (ink.height() - 1) + 0.5);
                bool found = false;
                for (int dy = -scale; dy <= scale && !found; ++dy) {
                    for (int dx = -scale; dx <= scale && !found; ++dx) {
                        found = cell.rect().contains(x + dx, y + dy) &&
                                Ink(test::PixelAt(cell, x + dx, y + dy));
                    }
                }
                EXPECT_TRUE(found) << all[n] << " lost the segment around " << middle.x() << ","
                                   << middle.y();
            }
        }
    }
}

TEST_F(DisplayLegibilityTest, EachLineKeepsTwoPixelsOfFaceClearAboveAndBelowItsInk) {
    const std::string tall = "8BMW0";
    display->SetLine1(tall);
    display->SetLine2(tall);
    const QImage drawn = Drawn();
    for (const QRect& line : {display->Line1Rect(), display->Line2Rect()}) {
        int top = -1;
        int bottom = -1;
        for (int y = line.top(); y <= line.bottom(); ++y) {
            for (int x = line.left(); x <= line.right(); ++x) {
                if (Ink(test::PixelAt(drawn, x, y))) {
                    if (top < 0) top = y;
                    bottom = y;
                }
            }
        }
        ASSERT_GE(top, 0);
        EXPECT_GE(top - line.top(), CVNDisplayControl::kLineClearance);
        EXPECT_GE(line.bottom() - bottom, CVNDisplayControl::kLineClearance);
        // Not shrunk beyond need: the ink takes the rest of the lower line.
        EXPECT_GE(bottom - top + 1, display->Line2Rect().height() - 2 * CVNDisplayControl::kLineClearance - 1);
    }
}

TEST_F(CVNDisplayControlTest, TwentyEightCharactersStayStill) {
    const std::string title(28, 'A');
    display->SetLine1(title);
    EXPECT_EQ(display->Line1(), title);
    for (int i = 0; i < 3; ++i) {
        display->ScrollTick();
        EXPECT_EQ(display->ScrollOffset(), 0);
        EXPECT_EQ(display->VisibleLine1(), title);
    }
}

TEST_F(CVNDisplayControlTest, LongerTitlesRunBetweenBlankStretches) {
    const std::string title = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012";  // 29 characters
    display->SetLine1(title);
    const std::string spaces(28, ' ');
    ASSERT_EQ(display->Line1(), spaces + title + spaces);
    ASSERT_EQ(display->Line1().size(), 85u);
    EXPECT_EQ(display->VisibleLine1(), spaces);

    for (int offset = 1; offset <= 56; ++offset) {
        display->ScrollTick();
        ASSERT_EQ(display->ScrollOffset(), offset);
    }
    EXPECT_EQ(display->VisibleLine1(), "2" + std::string(27, ' '));
    display->ScrollTick();
    EXPECT_EQ(display->ScrollOffset(), 57);
    EXPECT_EQ(display->VisibleLine1(), spaces);  // the title has left to the left
    display->ScrollTick();
    EXPECT_EQ(display->ScrollOffset(), 0);

    for (int i = 0; i < 28; ++i) {
        display->ScrollTick();
    }
    EXPECT_EQ(display->VisibleLine1(), title.substr(0, 28));
}

TEST_F(CVNDisplayControlTest, ANewTitleResetsTheOffsetOnlyWhenItWouldRunOut) {
    display->SetLine1(std::string(40, 'B'));  // 96 long
    for (int i = 0; i < 40; ++i) {
        display->ScrollTick();
    }
    display->SetLine1(std::string(45, 'C'));  // 101 long: offset 40 still fits
    EXPECT_EQ(display->ScrollOffset(), 40);
    display->SetLine1(std::string(29, 'D'));  // 85 long: 28 + 40 < 85, kept
    EXPECT_EQ(display->ScrollOffset(), 40);
    display->SetLine1("Short");
    EXPECT_EQ(display->ScrollOffset(), 0);
    EXPECT_EQ(display->VisibleLine1(), "Short");
}

TEST_F(CVNDisplayControlTest, CharactersTheFontLacksBecomeSpaces) {
    EXPECT_EQ(CVNDisplayControl::CleanText("Caf\xC3\xA9 & Bar. (Live) - 1/2: x!"),
              "Caf    Bar  (Live) - 1/2: x ");
    EXPECT_EQ(CVNDisplayControl::CleanText("\xE9t\xE9"), " t ");  // stray Latin-1 bytes
    EXPECT_EQ(CVNDisplayControl::CleanText("\xE2\x82\xAC" "5"), " 5");  // euro sign
    EXPECT_EQ(CVNDisplayControl::CleanText("a\tb\nc_d'e\"f"), "a b c d e f");

    display->SetLine2("Track 1 & 2.");
    EXPECT_EQ(display->Line2(), "Track 1   2 ");
    // A letter of a script without a Latin spelling counts as one character:
    // 28 of them do not scroll.
    std::string title(26, 'x');
    title += "\xE5\x9D\x82\xE6\x9C\xAC";  // 坂本
    display->SetLine1(title.c_str());
    EXPECT_EQ(display->Line1(), std::string(26, 'x') + "  ");
}

TEST_F(CVNDisplayControlTest, AccentedGreekAndCyrillicLettersShowInTheFontsLettersAndOtherScriptsAsBefore) {
    ASSERT_TRUE(DisplayFolding::Prepare());
    const auto shown = [](const char* text) { return CVNDisplayControl::ShownText(text); };
    EXPECT_EQ(shown("Zo\xC3\xAB B\xC3\xA9r\xC3\xA9nice - Fa\xC3\xA7" "ade"), "Zoe Berenice - Facade");
    EXPECT_EQ(shown("Stra\xC3\x9F" "e \xC5\x81\xC3\xB3" "d\xC5\xBA \xC3\x86on Dvo\xC5\x99\xC3\xA1k"),
              "Strasse Lodz AEon Dvorak");
    EXPECT_EQ(shown("Cafe\xCC\x81"), "Cafe");  // an accent of its own
    EXPECT_EQ(shown("Sigur R\xC3\xB3s \xE2\x80\x94 \xC3\x81g\xC3\xA6tis"), "Sigur Ros - Agaetis");
    // Greek and Cyrillic, Russian as English spells it, without its signs' primes.
    EXPECT_EQ(shown("\xCE\x91\xCE\xB8\xCE\xAE\xCE\xBD\xCE\xB1"), "Athena");  // Αθήνα
    EXPECT_EQ(shown("\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0"), "Moskva");
    EXPECT_EQ(shown("\xD0\xA7\xD0\xB0\xD0\xB9\xD0\xBA\xD0\xBE\xD0\xB2\xD1\x81\xD0\xBA\xD0\xB8\xD0\xB9 "
                    "\xD0\x9E\xD0\xBB\xD1\x8C\xD0\xB3\xD0\xB0"),
              "Chaykovskiy Olga");  // Чайковский Ольга
    EXPECT_EQ(shown("\xD0\x9A\xD0\xB8\xD1\x97\xD0\xB2"), "Kiiv");  // Київ: a letter Russian lacks
    // Han, Kana, Hangul: one blank per character, as before.
    EXPECT_EQ(shown("\xE5\x9D\x82\xE6\x9C\xAC \xE7\xBE\x8E\xE7\xA9\x82\xE5\xAD\x90 - "
                    "\xE6\x9D\xB1\xE4\xBA\xAC\xE3\x81\xAE\xE5\xA4\x9C"),
              std::string(7, ' ') + "-" + std::string(5, ' '));  // 坂本 美穂子 - 東京の夜
    EXPECT_EQ(shown("\xEC\x84\x9C\xEC\x9A\xB8 Seoul"), "   Seoul");  // 서울
    // Mixed: each part by its own script.
    EXPECT_EQ(shown("Bj\xC3\xB6rk & \xD0\x9C\xD0\xB8\xD1\x80 (\xE6\x9D\xB1\xE4\xBA\xAC) 1/2"),
              "Bjork   Mir (  ) 1/2");
    // Stray bytes are not UTF-8: blanked byte by byte, as before.
    EXPECT_EQ(shown("\xE9t\xE9 \xC3\xA9"), " t   ");
    EXPECT_EQ(shown("Plain & simple."), "Plain   simple ");
}

TEST_F(CVNDisplayControlTest, TheFirstTitleThatNeedsFoldingShowsCleanedAtOnceAndFoldedOnceTheTransformsAreMade) {
    const std::string title = "Zo\xC3\xAB B\xC3\xA9r\xC3\xA9nice";
    display->SetLine1(title);
    display->SetLine2("\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0");
    // Nothing waits for ICU: shown as before until the display's thread has
    // the transforms (a test run on its own has not made them yet).
    const std::string before = display->Line1();
    if (!DisplayFolding::IsReady()) {
        EXPECT_EQ(before, "Zo  B r nice");
    }
    ASSERT_TRUE(test::WaitUntil([&] { return display->Line1() == "Zoe Berenice"; }, 10000)) << display->Line1();
    EXPECT_EQ(display->Line2(), "Moskva");
    // Screen readers get the text as given.
    EXPECT_EQ(display->AccessibleName(), QString::fromStdString(title));
    EXPECT_EQ(display->AccessibleDescription(), QString::fromUtf8("\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0"));
    // A long folded title scrolls by its folded length.
    display->SetLine1("Th\xC3\xA9\xC3\xA2tre des Champs-\xC3\x89lys\xC3\xA9" "es (Live)");
    EXPECT_EQ(display->Line1(), CVNDisplayControl::Separator() + "Theatre des Champs-Elysees (Live)" +
                                    CVNDisplayControl::Separator());
}

TEST_F(CVNDisplayControlTest, DrawsFaceThenFillThenTextsThenOverlay) {
    display->SetLine2("0:01:23 / 0:04:05");
    QImage drawn = Drawn();
    // Flood fill: the grey joined to the corner is white now, the fenced-in grey stays.
    EXPECT_TRUE(SameColour(test::PixelAt(drawn, 137, 38), Qt::white));
    EXPECT_TRUE(SameColour(test::PixelAt(drawn, 146, 40), Qt::white));
    EXPECT_TRUE(SameColour(test::PixelAt(drawn, 387, 46), kGrey));
    // Nothing outside the box.
    EXPECT_EQ(qAlpha(drawn.pixel(136, 50)), 0);
    EXPECT_EQ(qAlpha(drawn.pixel(396, 50)), 0);
    // Line 1 is empty; line 2 is black text, centred.
    const QRect line1 = display->Line1Rect().adjusted(0, 0, -20, 0);
    EXPECT_EQ(CountPixels(drawn, line1, [](QColor c) { return c.value() < 100; }), 0);
    const QRect line2 = display->Line2Rect();
    EXPECT_GT(CountPixels(drawn, line2, [](QColor c) { return c.value() < 60; }), 50);
    const QRect leftEdge(137, 58, 40, 21);
    const QRect rightEdge(356, 58, 40, 21);
    EXPECT_EQ(CountPixels(drawn, leftEdge, [](QColor c) { return c.value() < 100; }), 0);
    EXPECT_EQ(CountPixels(drawn, rightEdge, [](QColor c) { return c.value() < 100; }), 0);

    // The overlay lies over the text: an opaque band hides line 2, a half
    // transparent one tints the white.
    auto bands = test::MakeImage(430, 130, [](int, int y) {
        if (y >= 58) return QColor(200, 0, 0, 255);
        if (y >= 38 && y < 48) return QColor(0, 0, 255, 128);
        return QColor(0, 0, 0, 0);
    });
    Build(bands.get());
    display->SetLine2("0:01:23 / 0:04:05");
    drawn = Drawn();
    EXPECT_EQ(CountPixels(drawn, line2, [](QColor c) { return c != QColor(200, 0, 0); }), 0);
    const QColor tinted = test::PixelAt(drawn, 200, 40);
    EXPECT_NEAR(tinted.red(), 127, 1);
    EXPECT_NEAR(tinted.green(), 127, 1);
    EXPECT_EQ(tinted.blue(), 255);
}

// WCAG 2 relative luminance and contrast ratio.
double Luminance(QColor c) {
    const auto linear = [](int channel) {
        const double v = channel / 255.0;
        return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(c.red()) + 0.7152 * linear(c.green()) + 0.0722 * linear(c.blue());
}
double Contrast(QColor a, QColor b) {
    const double la = Luminance(a), lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

TEST_F(CVNDisplayControlTest, HoveredClickableTextTurnsGreenWithAHandPointer) {
    display->SetLine1("88888888");
    const QRect line1 = display->Line1Rect();
    auto green = [](QColor c) { return c.green() > 90 && c.red() < 60 && c.blue() < 60; };
    auto black = [](QColor c) { return c.value() < 60; };

    const QPoint inside(200, 50);
    test::Move(*dialog, inside);
    EXPECT_TRUE(display->IsHovered());
    EXPECT_EQ(CountPixels(Drawn(), line1, green), 0);  // not clickable: black
    EXPECT_GT(CountPixels(Drawn(), line1, black), 30);
    EXPECT_EQ(dialog->cursor().shape(), Qt::ArrowCursor);

    display->SetClickable(true);
    test::Move(*dialog, inside + QPoint(1, 0));
    EXPECT_GT(CountPixels(Drawn(), line1, green), 30);
    EXPECT_EQ(CountPixels(Drawn(), line1, black), 0);
    // Legible: the glyphs' own colour (their darkest pixel) against the white face.
    QColor ink = Qt::white;
    const QImage hovered = Drawn();
    for (int y = line1.top(); y <= line1.bottom(); ++y) {
        for (int x = line1.left(); x <= line1.right(); ++x) {
            if (Luminance(test::PixelAt(hovered, x, y)) < Luminance(ink)) ink = test::PixelAt(hovered, x, y);
        }
    }
    EXPECT_GE(Contrast(ink, Qt::white), 4.5) << ink.name().toStdString();
    EXPECT_TRUE(green(ink)) << ink.name().toStdString();
    EXPECT_EQ(dialog->cursor().shape(), Qt::PointingHandCursor);

    test::Move(*dialog, QPoint(50, 120));
    EXPECT_FALSE(display->IsHovered());
    EXPECT_EQ(CountPixels(Drawn(), line1, green), 0);
    EXPECT_EQ(dialog->cursor().shape(), Qt::ArrowCursor);
}

TEST_F(CVNDisplayControlTest, OnlyAClickableDisplayTakesClicks) {
    const QPoint inside(200, 60);
    test::Press(*dialog, inside);  // not clickable: the press drags the window
    EXPECT_EQ(dialog->CurrentDrag(), CSkinDialog::DragMode::FollowMouse);
    test::Release(*dialog, inside);
    EXPECT_TRUE(display->OnMouse(MOUSE_LBUTTONUP, inside.x(), inside.y(), 0));
    EXPECT_TRUE(clicks.empty());

    display->SetClickable(true);
    test::Press(*dialog, inside);
    EXPECT_EQ(dialog->CurrentDrag(), CSkinDialog::DragMode::None);
    test::Release(*dialog, inside);
    EXPECT_EQ(clicks, std::vector<int>{CVNDisplayControl::kCodeClick});
    EXPECT_FALSE(display->OnMouse(MOUSE_LBUTTONUP, 10, 10, 0));
    EXPECT_EQ(clicks.size(), 1u);
}

TEST_F(CVNDisplayControlTest, TextsSetFromAnotherThreadRepaintWithoutWaiting) {
    dialog->Surface();
    std::thread([&] {
        display->SetLine1("From The Player");
        display->SetLine2("0:00:01 / 0:03:00");
    }).join();  // would hang if the repaint were waited for
    EXPECT_EQ(display->Line1(), "From The Player");
    EXPECT_TRUE(test::WaitUntil([&] {
        return CountPixels(dialog->Surface(), display->Line2Rect(),
                           [](QColor c) { return c.value() < 60; }) > 50;
    }));
}

// Counts the paint events a widget gets and the region they cover.
class PaintCounter : public QObject {
public:
    bool eventFilter(QObject* /*watched*/, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            ++paints;
            region += static_cast<QPaintEvent*>(event)->region();
        }
        return false;
    }
    void Reset() {
        paints = 0;
        region = QRegion();
    }
    int paints = 0;
    QRegion region;
};

class CountingDisplay : public CVNDisplayControl {
public:
    using CVNDisplayControl::CVNDisplayControl;
    bool Draw(QPainter& dc) override {
        ++draws;
        return CVNDisplayControl::Draw(dc);
    }
    int draws = 0;
};

TEST_F(CVNDisplayControlTest, RepaintsTheDisplayOnlyWhenWhatItShowsChanged) {
    display.reset();
    CountingDisplay counted("CVNDisplayControl", dialog.get(), SkinAreas::DisplayControl(),
                            callback.get(), overlay.get(), face.get());
    dialog->AddControl(&counted, 1);
    PaintCounter counter;
    dialog->installEventFilter(&counter);
    dialog->show();
    ASSERT_TRUE(test::WaitUntil([&] { return counter.paints > 0; }));
    const auto settle = [] { test::WaitUntil([] { return false; }, 60); };
    const auto reset = [&] {
        settle();
        counter.Reset();
        counted.draws = 0;
    };
    const std::string time = "0:01:23 / 0:04:05";
    counted.SetLine1("Harbour Lights");
    counted.SetLine2(time);
    reset();

    // Two seconds of 200 ms scroll ticks and 500 ms polls showing the same second.
    for (int tick = 0; tick < 10; ++tick) {
        counted.ScrollTick();
        counted.SetLine1("Harbour Lights");
        if (tick % 2 == 0) counted.SetLine2(time);
    }
    counted.SetClickable(true);  // not hovered: looks the same
    settle();
    EXPECT_EQ(counted.draws, 0);
    EXPECT_EQ(counter.paints, 0);

    // The shown second changes: one draw, one paint, of the time line alone.
    counted.SetLine2("0:01:24 / 0:04:05");
    settle();
    EXPECT_EQ(counted.draws, 1);
    EXPECT_EQ(counter.paints, 1);
    EXPECT_FALSE(counter.region.isEmpty());
    EXPECT_TRUE((counter.region - counted.Line2Rect()).isEmpty());
    EXPECT_TRUE(counted.ChangedByLastDraw() == QRegion(counted.Line2Rect()));

    // A long title moves at every tick.
    counted.SetLine1("The Quiet Hours Of A Long Night (Live)");
    reset();
    for (int tick = 0; tick < 3; ++tick) {
        counted.ScrollTick();
        settle();
    }
    EXPECT_EQ(counted.draws, 3);
    EXPECT_EQ(counter.paints, 3);
    EXPECT_TRUE((counter.region - counted.Line1Rect()).isEmpty());
    // What the window shows is what a fresh display draws.
    CVNDisplayControl fresh("fresh", nullptr, SkinAreas::DisplayControl(), nullptr, overlay.get(), face.get());
    fresh.SetLine1("The Quiet Hours Of A Long Night (Live)");
    for (int tick = 0; tick < 3; ++tick) fresh.ScrollTick();
    fresh.SetLine2("0:01:24 / 0:04:05");
    QImage expected(CSkinDialog::kSkinWidth, CSkinDialog::kSkinHeight, QImage::Format_ARGB32_Premultiplied);
    expected.fill(Qt::transparent);
    {
        QPainter dc(&expected);
        fresh.Draw(dc);
    }
    const QRect box = counted.BoundingBox();
    EXPECT_EQ(dialog->Surface().copy(box), expected.copy(box));

    // The clickable title turns green as the pointer comes, not as it moves on it.
    reset();
    test::Move(*dialog, QPoint(200, 50));
    test::Move(*dialog, QPoint(210, 50));
    settle();
    EXPECT_EQ(counted.draws, 1);
    test::Move(*dialog, QPoint(50, 120));
    settle();
    EXPECT_EQ(counted.draws, 2);
    dialog->removeEventFilter(&counter);
}

TEST(FloodFillTest, FillsUpToTheBorderColourOnly) {
    QImage image(6, 5, QImage::Format_ARGB32_Premultiplied);
    image.fill(qRgb(10, 10, 10));
    for (int y = 0; y < 5; ++y) image.setPixel(3, y, qRgb(255, 255, 255));  // a wall
    image.setPixel(1, 1, qRgb(255, 255, 255));
    EXPECT_EQ(FloodFillToBorder(image, QPoint(0, 0), qRgb(255, 255, 255), qRgb(255, 255, 255)),
              14);
    for (int y = 0; y < 5; ++y) {
        for (int x = 0; x < 6; ++x) {
            EXPECT_EQ(image.pixel(x, y), x <= 3 ? qRgb(255, 255, 255) : qRgb(10, 10, 10))
                << x << "," << y;
        }
    }
    // Starting on the border colour, or outside, changes nothing.
    EXPECT_EQ(FloodFillToBorder(image, QPoint(3, 0), qRgb(1, 2, 3), qRgb(255, 255, 255)), 0);
    EXPECT_EQ(FloodFillToBorder(image, QPoint(9, 9), qRgb(1, 2, 3), qRgb(255, 255, 255)), 0);
}

}  // namespace
}  // namespace vorn
