// The main window on a HiDPI screen: the process runs with QT_SCALE_FACTOR set
// (2 or 1.5, see CMakeLists.txt), on Qt's offscreen platform or, with
// VORN_TEST_ON_XVFB=1, on a private X server where the shape is the X server's
// and the clicks are real pointer events at device pixels.

#include <QImage>
#include <QPalette>
#include <QWidget>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>

#include "library/VornPlaylistItem.h"
#include "tests/ui/QtTestSupport.h"
#include "tests/ui/XRootShot.h"
#include "tests/ui/XvfbServer.h"
#include "tests/window/WindowTestSupport.h"
#include "ui/CSkinButton.h"
#include "ui/CSkinImage.h"
#include "ui/CVNDisplayControl.h"
#include "ui/MediaGraph.h"

namespace vorn {
namespace {

constexpr int kScreenWidth = 1280;
constexpr int kScreenHeight = 720;
const QColor kBehind(255, 0, 255);

test::XvfbServer* server = nullptr;

class DisplayEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (std::getenv("VORN_TEST_ON_XVFB") == nullptr) return;
        server = new test::XvfbServer(kScreenWidth, kScreenHeight);
        ::setenv("DISPLAY", server->Display().c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        ::unsetenv("WAYLAND_DISPLAY");
    }
    void TearDown() override {
        delete server;
        server = nullptr;
    }
};

[[maybe_unused]] auto* const environment = ::testing::AddGlobalTestEnvironment(new DisplayEnvironment);

double ExpectedRatio() {
    const char* factor = std::getenv("QT_SCALE_FACTOR");
    return factor != nullptr ? std::atof(factor) : 1.0;
}

class HiDpiWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server == nullptr || !server->Display().empty()) << "Xvfb did not start";
        fixture = std::make_unique<test::WindowFixture>();
        fixture->WriteLibrary(3, 4.0);
        if (server != nullptr) {
            // What lies behind the window: one flat colour over the whole screen.
            backdrop = std::make_unique<QWidget>();
            backdrop->setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
            QPalette palette;
            palette.setColor(QPalette::Window, kBehind);
            backdrop->setPalette(palette);
            backdrop->setAutoFillBackground(true);
            backdrop->setGeometry(QRect(QPoint(0, 0), QSize(kScreenWidth, kScreenHeight) / ratio));
            backdrop->show();
            ASSERT_TRUE(test::PumpUntil([&] { return backdrop->isVisible(); }));
        }
        window = fixture->Open();
        ASSERT_NE(window, nullptr);
        window->move(30, 20);
        ASSERT_TRUE(test::PumpUntil([&] { return window->isVisible(); }));
        test::PumpUntil([] { return false; }, 300);  // mapped and painted
    }

    void TearDown() override {
        window.reset();
        backdrop.reset();
        fixture.reset();
    }

    // Device pixel of the screen for a logical point of the window.
    QPoint ScreenPixel(QPoint logical) const {
        const QPointF global = window->mapToGlobal(QPointF(logical));
        return QPoint(static_cast<int>(std::floor(global.x() * ratio)), static_cast<int>(std::floor(global.y() * ratio)));
    }

    // The left button pressed or released at a logical point of the window: on
    // the X server a real pointer event at the middle of that logical pixel's
    // device pixels.
    void Button(QPoint logical, bool down) {
        if (server != nullptr) {
            const QPoint at = ScreenPixel(logical) + QPoint(static_cast<int>(ratio / 2), static_cast<int>(ratio / 2));
            ASSERT_TRUE(server->Xdotool("mousemove " + std::to_string(at.x()) + " " + std::to_string(at.y()) +
                                        (down ? " mousedown 1" : " mouseup 1")));
        } else if (down) {
            QTest::mousePress(window->windowHandle(), Qt::LeftButton, {}, logical);
        } else {
            QTest::mouseRelease(window->windowHandle(), Qt::LeftButton, {}, logical);
        }
    }
    void Click(QPoint logical) {
        Button(logical, true);
        Button(logical, false);
    }

    std::int32_t CurrentId() { return window->CurrentItem() != nullptr ? window->CurrentItem()->ItemId() : -1; }

    const double ratio = ExpectedRatio();
    std::unique_ptr<test::WindowFixture> fixture;
    std::unique_ptr<QWidget> backdrop;
    std::unique_ptr<test::TestWindow> window;
};

// Whether logical pixel (x, y) of the 1x outline and all eight around it agree:
// at a ratio that is not whole, a device pixel on the border of two logical
// pixels may go either way.
bool AwayFromTheEdge(const CSkinImage& outline, int x, int y) {
    const bool inside = outline.IsOpaque(x, y);
    for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
            const int nx = std::clamp(x + dx, 0, outline.Width() - 1);
            const int ny = std::clamp(y + dy, 0, outline.Height() - 1);
            if (outline.IsOpaque(nx, ny) != inside) return false;
        }
    }
    return true;
}

TEST_F(HiDpiWindowTest, WindowHasTheScreensPixelsAndTheOutlineOfTheSkin) {
    ASSERT_DOUBLE_EQ(window->devicePixelRatioF(), ratio);
    const QSize device(static_cast<int>(std::lround(430 * ratio)), static_cast<int>(std::lround(130 * ratio)));
    EXPECT_EQ(window->size(), QSize(430, 130));
    const QImage surface = window->Surface();
    ASSERT_EQ(surface.size(), device);  // 860 x 260 at 2
    EXPECT_EQ(window->Background()->Width(), device.width()) << "the skin was not loaded for the screen";

    // The shape is the 1x outline at every ratio; whole ratios keep it exact.
    const CSkinImage outline("resources/vorn background.png");
    ASSERT_TRUE(outline.IsValid());
    const bool whole = ratio == std::floor(ratio);
    std::unique_ptr<test::XRootShot> shot;
    std::vector<std::uint32_t> screen;
    QPoint origin;
    if (server != nullptr) {
        shot = std::make_unique<test::XRootShot>(server->Display());
        screen = shot->Take(kScreenWidth, kScreenHeight);
        ASSERT_EQ(screen.size(), static_cast<std::size_t>(kScreenWidth) * kScreenHeight);
        origin = ScreenPixel(QPoint(0, 0));
    }
    int wrongAlpha = 0;
    int wrongScreen = 0;
    // One device pixel beyond the window on each side: the backdrop shows there.
    for (int dy = -1; dy <= device.height(); ++dy) {
        for (int dx = -1; dx <= device.width(); ++dx) {
            const int lx = static_cast<int>(std::floor(dx / ratio));
            const int ly = static_cast<int>(std::floor(dy / ratio));
            const bool onWindow = dx >= 0 && dy >= 0 && dx < device.width() && dy < device.height();
            const bool inside = onWindow && outline.IsOpaque(lx, ly);
            if (onWindow && !whole && !AwayFromTheEdge(outline, lx, ly)) continue;
            if (onWindow && qAlpha(surface.pixel(dx, dy)) != (inside ? 255 : 0)) ++wrongAlpha;
            if (!screen.empty()) {
                const int sx = origin.x() + dx;
                const int sy = origin.y() + dy;
                const bool behind = screen[static_cast<std::size_t>(sy) * kScreenWidth + sx] == (kBehind.rgb() & 0xFFFFFFu);
                if (behind == inside) ++wrongScreen;
            }
        }
    }
    EXPECT_EQ(wrongAlpha, 0) << "surface pixels that disagree with the outline";
    EXPECT_EQ(wrongScreen, 0) << "screen pixels that disagree with the outline";
}

TEST_F(HiDpiWindowTest, ControlsReactAtTheirLogicalPositions) {
    Click(QPoint(72, 66));  // play
    ASSERT_TRUE(test::PumpUntil([&] { return window->Graph()->State() == MediaGraph::kRunning; }))
        << "play did not start; current item " << CurrentId();
    const std::int32_t first = CurrentId();
    Click(QPoint(332, 94));  // the fourth star
    ASSERT_TRUE(test::PumpUntil([&] { return window->CurrentItem()->Rating() == 4; }));
    Click(QPoint(113, 66));  // the forward half of the ring
    ASSERT_TRUE(test::PumpUntil([&] { return CurrentId() != first; }));
    Click(QPoint(200, 50));  // the title on the display
    ASSERT_TRUE(test::PumpUntil([&] { return !window->opened.empty(); }));
    Button(QPoint(33, 66), true);  // the back half of the ring, held
    EXPECT_TRUE(test::PumpUntil([&] { return window->BackButton()->State() != CSkinButton::kStateUp; }));
    EXPECT_EQ(window->ForwardButton()->State(), CSkinButton::kStateUp);
    Button(QPoint(33, 66), false);
    EXPECT_TRUE(test::PumpUntil([&] { return window->BackButton()->State() == CSkinButton::kStateUp; }));
}

// The display's first line with text and without, at device resolution: a
// glyph's pixels are ink or ground, never a blur wider than one pixel, and at
// 2 the ink has edges between the device pixels of one logical pixel, which
// an enlarged 1x drawing never has.
TEST_F(HiDpiWindowTest, DisplayTextIsDrawnAtTheScreensResolution) {
    CVNDisplayControl* display = window->Display();
    display->SetLine1(std::string(CVNDisplayControl::kVisibleWidth, ' '));
    const QImage blank = window->Surface().copy();
    display->SetLine1("ABCDEFGHIJKLMNOPQRSTUVWXYZ01");
    const QImage text = window->Surface().copy();
    ASSERT_EQ(blank.size(), text.size());

    // Where ink would darken a pixel fully: the white face under the glass
    // against black under it, the glass's own alpha deciding how much shows.
    const CSkinImage glass("resources/transparent menu screen.png", ratio);
    ASSERT_EQ(glass.Width(), blank.width());
    const QRect line = display->Line1Rect();
    const int left = static_cast<int>(std::ceil(line.left() * ratio));
    const int right = static_cast<int>(std::floor((line.right() + 1) * ratio));
    int inkRows = 0;
    int widestBlur = 0;
    int finerEdges = 0;
    for (int y = static_cast<int>(std::ceil(line.top() * ratio)); y < static_cast<int>((line.bottom() + 1) * ratio); ++y) {
        int blur = 0;
        bool inkOnRow = false;
        bool wasInk = false;
        for (int x = left; x < right; ++x) {
            const int full = 255 - glass.Alpha(x, y);
            if (full < 60) {  // the glass's corners hide the text
                blur = 0;
                continue;
            }
            const double coverage = (qGreen(blank.pixel(x, y)) - qGreen(text.pixel(x, y))) / static_cast<double>(full);
            const bool between = coverage > 0.2 && coverage < 0.8;
            blur = between ? blur + 1 : 0;
            widestBlur = std::max(widestBlur, blur);
            const bool ink = coverage >= 0.5;
            inkOnRow = inkOnRow || ink;
            if (ink != wasInk && x % 2 != 0) ++finerEdges;
            wasInk = ink;
        }
        inkRows += inkOnRow ? 1 : 0;
    }
    EXPECT_GT(inkRows, 10);
    EXPECT_LE(widestBlur, 1);
    if (ratio == 2.0) {
        EXPECT_GT(finerEdges, 0) << "the text looks enlarged from 1x";
    }
}

}  // namespace
}  // namespace vorn
