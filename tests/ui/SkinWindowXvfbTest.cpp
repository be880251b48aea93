// The skinned window on a real X server: what lies behind the window must show
// through every pixel that is not fully opaque in the background image.

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QImage>
#include <QWidget>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/ui/UiTestSupport.h"
#include "tests/ui/XRootShot.h"
#include "ui/CSkinDialog.h"
#include "ui/CSkinImage.h"

namespace vorn {
namespace {

constexpr int kScreenWidth = 640;
constexpr int kScreenHeight = 400;

// An Xvfb server on a display number it picks itself (-displayfd), stopped
// and awaited when the object goes.
class XvfbServer {
public:
    ~XvfbServer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }

    // Empty on success, else why it failed.
    std::string Start() {
        int fds[2];
        if (::pipe(fds) != 0) {
            return "pipe failed";
        }
        const std::string fd = std::to_string(fds[1]);
        const std::string screen =
            std::to_string(kScreenWidth) + "x" + std::to_string(kScreenHeight) + "x24";
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(fds[0]);
            ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(),
                     "-nolisten", "tcp", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        if (pid_ < 0) {
            ::close(fds[0]);
            return "fork failed";
        }
        std::string number;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (number.empty() || number.back() != '\n') {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fds[0], POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            char c = 0;
            if (::read(fds[0], &c, 1) != 1) {
                break;
            }
            number.push_back(c);
        }
        ::close(fds[0]);
        if (number.empty() || number.back() != '\n') {
            return "Xvfb did not report its display";
        }
        number.pop_back();
        display_ = ":" + number;
        return {};
    }

    const std::string& Display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

// The root window as a QImage.
class RootShot {
public:
    explicit RootShot(const std::string& display) : shot_(display) {}
    bool Ok() const { return shot_.Ok(); }

    QImage Take() {
        const std::vector<std::uint32_t> pixels = shot_.Take(kScreenWidth, kScreenHeight);
        QImage image(kScreenWidth, kScreenHeight, QImage::Format_RGB32);
        image.fill(Qt::black);
        if (pixels.size() == static_cast<std::size_t>(kScreenWidth) * kScreenHeight) {
            for (int y = 0; y < kScreenHeight; ++y) {
                for (int x = 0; x < kScreenWidth; ++x) {
                    image.setPixel(x, y, pixels[static_cast<std::size_t>(y) * kScreenWidth + x] |
                                             0xFF000000u);
                }
            }
        }
        return image;
    }

private:
    test::XRootShot shot_;
};

class SkinWindowXvfbTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::system("command -v Xvfb >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps installs it)";
        }
        const std::string error = server.Start();
        ASSERT_TRUE(error.empty()) << error;
        ::setenv("DISPLAY", server.Display().c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        test::EnsureApplication();
        ASSERT_EQ(QGuiApplication::platformName(), "xcb");
        shot = std::make_unique<RootShot>(server.Display());
        ASSERT_TRUE(shot->Ok());

        // What lies behind the skin: one flat colour over the whole screen.
        backdrop = std::make_unique<QWidget>();
        backdrop->setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
        backdrop->setAutoFillBackground(true);
        QPalette palette;
        palette.setColor(QPalette::Window, kBehind);
        backdrop->setPalette(palette);
        backdrop->setGeometry(0, 0, kScreenWidth, kScreenHeight);
        backdrop->show();
    }

    void TearDown() override {
        backdrop.reset();
        shot.reset();
    }

    // Waits (bounded) until the screen shows `expected` at `point`.
    bool ScreenShows(const QPoint& point, const QColor& expected) {
        return test::WaitUntil([&] {
            return shot->Take().pixelColor(point) == expected;
        }, 10000);
    }

    const QColor kBehind{255, 0, 255};
    XvfbServer server;
    std::unique_ptr<RootShot> shot;
    std::unique_ptr<QWidget> backdrop;
};

TEST_F(SkinWindowXvfbTest, PixelsOutsideTheShapeShowWhatLiesBehind) {
    const QColor skin(20, 60, 200);
    // Opaque except: the first 100 columns (alpha 0), a block of alpha 254, and
    // one row whose right end is transparent.
    auto background = test::MakeImage(430, 130, [&](int x, int y) {
        if (x < 100) return QColor(0, 0, 0, 0);
        if (x >= 200 && x < 260 && y >= 40 && y < 80) return QColor(20, 60, 200, 254);
        if (y == 100 && x >= 400) return QColor(20, 60, 200, 0);
        return skin;
    });
    CSkinDialog dialog;
    dialog.SetBackground(background.get());
    dialog.ComputeWindowShape();
    const QPoint origin(100, 120);
    dialog.move(origin);
    dialog.show();

    ASSERT_TRUE(ScreenShows(QPoint(5, 5), kBehind)) << "the backdrop never appeared";
    ASSERT_TRUE(ScreenShows(origin + QPoint(150, 20), skin)) << "the skin never appeared";
    const QImage screen = shot->Take();
    const auto at = [&](int x, int y) { return screen.pixelColor(origin + QPoint(x, y)); };
    EXPECT_EQ(at(300, 60), skin);
    EXPECT_EQ(at(100, 0), skin);
    EXPECT_EQ(at(429, 129), skin);
    EXPECT_EQ(at(50, 60), kBehind);    // alpha 0
    EXPECT_EQ(at(99, 10), kBehind);
    EXPECT_EQ(at(230, 60), kBehind);   // alpha 254 is not part of the window
    EXPECT_EQ(at(200, 40), kBehind);
    EXPECT_EQ(at(199, 40), skin);
    EXPECT_EQ(at(410, 100), kBehind);
    EXPECT_EQ(at(410, 99), skin);
    EXPECT_EQ(at(430, 60), kBehind);   // beyond the window
}

TEST_F(SkinWindowXvfbTest, TheProgramsOwnSkinHasAHardOutline) {
    test::SourceTreeCwd cwd;
    CSkinImage background("./resources/vorn background.png");
    ASSERT_TRUE(background.IsValid()) << background.Error();
    CSkinDialog dialog;
    dialog.SetBackground(&background);
    dialog.ComputeWindowShape();
    const QPoint origin(60, 100);
    dialog.move(origin);
    dialog.show();

    // Wait until both the window and what lies behind it are drawn.
    const std::uint8_t* middle = background.Row(58) + 260 * 4;
    const QColor skin(middle[2], middle[1], middle[0]);
    ASSERT_TRUE(test::WaitUntil([&] {
        const QImage screen = shot->Take();
        return screen.pixelColor(origin + QPoint(260, 58)) == skin &&
               screen.pixelColor(origin) == kBehind;
    }, 10000));
    const QImage screen = shot->Take();
    if (const char* path = std::getenv("VORN_SCREENSHOT")) {
        screen.save(QString::fromLocal8Bit(path));
    }
    int shown = 0;
    int through = 0;
    for (int y = 0; y < CSkinDialog::kSkinHeight; ++y) {
        for (int x = 0; x < CSkinDialog::kSkinWidth; ++x) {
            const bool opaque = background.IsOpaque(x, y);
            const QColor seen = screen.pixelColor(origin + QPoint(x, y));
            if (!opaque) {
                ++through;
                ASSERT_EQ(seen, kBehind) << "pixel " << x << "," << y;
            } else {
                ++shown;
                const std::uint8_t* p = background.Row(y) + x * 4;
                ASSERT_EQ(seen, QColor(p[2], p[1], p[0])) << "pixel " << x << "," << y;
            }
        }
    }
    // A shaped window: its corners are cut away, most of it is skin.
    EXPECT_GT(through, 1000);
    EXPECT_GT(shown, 430 * 130 / 2);
}

}  // namespace
}  // namespace vorn
