// Shows the skinned window with its five controls in a few states and saves a
// picture of it, to judge the artwork in resources/.
//
//     cd <source tree>
//     xvfb-run -a -s "-screen 0 480x770x24" build/tools/make-skin/vorn-skin-preview shot.png
//         a real shaped window on an X display over a desktop-like backdrop,
//         grabbed from the screen;
//     QT_QPA_PLATFORM=offscreen build/tools/make-skin/vorn-skin-preview --sheet sheet.png
//         the same states painted off screen, cut by the window shape.

#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QThread>
#include <QWidget>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ui/CSkinButton.h"
#include "ui/CSkinDialog.h"
#include "ui/CSkinImage.h"
#include "ui/CVNDisplayControl.h"
#include "ui/CVNRatingControl.h"
#include "ui/ControlCallback.h"
#include "ui/SkinAreas.h"

namespace {

using namespace vorn;

// The main window's skin and controls, wired as the main window wires them.
struct Skin {
    CSkinImage forwardPressed{"./resources/vorn forward click.png"};
    CSkinImage buttonsUp{"./resources/buttons up stars off.png"};
    CSkinImage backPressed{"./resources/vorn back click.png"};
    CSkinImage pausePressed{"./resources/vorn pause button click.png"};
    CSkinImage pauseUp{"./resources/vorn pause button.png"};
    CSkinImage playPressed{"./resources/vorn play button click.png"};
    CSkinImage starsOff{"./resources/vorn background.png"};
    CSkinImage starsOn{"./resources/vorn stars on.png"};
    CSkinImage display{"./resources/vorn white display.png"};
    CSkinImage overlay{"./resources/transparent menu screen.png"};

    ControlCallback callback{[](int) { return true; }};
    CSkinDialog window;
    CSkinButton forward{"CVNForwardButton", &window, SkinAreas::ForwardButton(), &callback,
                        &forwardPressed, &buttonsUp};
    CSkinButton back{"CVNBackButton", &window, SkinAreas::BackButton(), &callback, &backPressed,
                     &buttonsUp};
    CSkinButton play{"CVNPlayButton", &window, SkinAreas::PlayButton(), &callback,
                     &pausePressed, &pauseUp, &playPressed, &buttonsUp};
    CVNRatingControl rating{"CVNRatingControl", &window, SkinAreas::RatingControl(), &callback,
                            &starsOff, &starsOn};
    CVNDisplayControl text{"CVNDisplayControl", &window, SkinAreas::DisplayControl(), &callback,
                           &overlay, &display};

    Skin() {
        window.SetBackground(&starsOff);
        window.ComputeWindowShape();
        window.AddControl(&forward, 0);
        window.AddControl(&back, 0);
        window.AddControl(&play, 1);
        window.AddControl(&rating, 1);
        window.AddControl(&text, 1);
        window.SetDraggable(true);
    }

    bool Loaded() const {
        for (const CSkinImage* image : {&forwardPressed, &buttonsUp, &backPressed, &pausePressed,
                                        &pauseUp, &playPressed, &starsOff, &starsOn, &display,
                                        &overlay}) {
            if (!image->IsValid()) {
                std::fprintf(stderr, "vorn-skin-preview: %s\n", image->Error().c_str());
                return false;
            }
        }
        return true;
    }

    void Press(QPoint at) {
        window.Surface();
        for (int layer = 0; layer < CSkinDialog::kLayerCount; ++layer) {
            for (CSkinControl* control : window.Layer(layer)) {
                control->OnMouse(MOUSE_LBUTTONDOWN, at.x(), at.y(), MK_LBUTTON);
            }
        }
    }
};

// The states shown, one after the other.
const std::vector<std::pair<const char*, std::function<void(Skin&)>>>& States() {
    static const std::vector<std::pair<const char*, std::function<void(Skin&)>>> states = {
        {"stopped",
         [](Skin& s) {
             s.text.SetLine1("Vorn Custom Radio");
             s.text.SetLine2("0:00:00 / 0:00:00");
         }},
        {"playing, rated",
         [](Skin& s) {
             s.play.SetPlayingLook();
             s.rating.SetRating(4);
             s.text.SetLine1("Harbour Lights - Slow Tide");
             s.text.SetLine2("0:01:23 / 0:04:05");
         }},
        {"play pressed, stars hovered",
         [](Skin& s) {
             s.rating.SetRating(2);
             s.rating.OnMouse(MOUSE_MOVE, 322, 94, 0);
             s.Press(QPoint(72, 66));
             s.text.SetLine1("Please Wait.....Retrieving Media");
             for (int i = 0; i < 40; ++i) s.text.ScrollTick();
             s.text.SetLine2("Downloading 42%");
         }},
        {"playing, forward held, display hovered",
         [](Skin& s) {
             s.play.SetPlayingLook();
             s.rating.SetRating(5);
             s.text.SetClickable(true);
             s.text.OnMouse(MOUSE_MOVE, 200, 50, 0);
             s.text.SetLine1("The Quiet Hours (Live)");
             s.text.SetLine2("1:02:05 / 10:00:00");
             s.Press(QPoint(112, 67));
         }},
        {"paused, back held",
         [](Skin& s) {
             s.rating.SetRating(1);
             s.text.SetLine1("Paused");
             s.text.SetLine2("0:03:59 / 0:04:05");
             s.Press(QPoint(33, 67));
         }},
    };
    return states;
}

QImage Backdrop(const QSize& size) {
    QImage backdrop(size, QImage::Format_RGB32);
    QPainter p(&backdrop);
    QLinearGradient sky(0, 0, size.width(), size.height());
    sky.setColorAt(0.0, QColor(88, 120, 170));
    sky.setColorAt(0.5, QColor(150, 132, 176));
    sky.setColorAt(1.0, QColor(226, 170, 150));
    p.fillRect(backdrop.rect(), sky);
    p.setPen(QColor(255, 255, 255, 40));
    for (int x = 0; x < size.width(); x += 16) p.drawLine(x, 0, x, size.height());
    for (int y = 0; y < size.height(); y += 16) p.drawLine(0, y, size.width(), y);
    return backdrop;
}

constexpr int kMargin = 24;
constexpr int kStep = CSkinDialog::kSkinHeight + 14;

int Sheet(const char* path) {
    const int count = static_cast<int>(States().size());
    QImage sheet = Backdrop(QSize(CSkinDialog::kSkinWidth + 2 * kMargin, kMargin * 2 + count * kStep));
    QPainter p(&sheet);
    for (int i = 0; i < count; ++i) {
        Skin skin;
        if (!skin.Loaded()) return 1;
        States()[static_cast<std::size_t>(i)].second(skin);
        const QImage& window = skin.window.Surface();
        const QPoint at(kMargin, kMargin + i * kStep);
        p.save();
        p.setClipRegion(skin.window.mask().translated(at));
        p.drawImage(at, window);
        p.restore();
    }
    p.end();
    return sheet.save(QString::fromLocal8Bit(path)) ? 0 : 1;
}

class BackdropWidget : public QWidget {
public:
    BackdropWidget() {
        setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.drawImage(0, 0, Backdrop(size()));
    }
};

void Settle(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
}

int Screen(const char* path) {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        std::fprintf(stderr, "vorn-skin-preview: no screen\n");
        return 1;
    }
    const int count = static_cast<int>(States().size());
    BackdropWidget backdrop;
    backdrop.setGeometry(screen->geometry());
    backdrop.show();
    std::vector<std::unique_ptr<Skin>> skins;
    for (int i = 0; i < count; ++i) {
        skins.push_back(std::make_unique<Skin>());
        if (!skins.back()->Loaded()) return 1;
        States()[static_cast<std::size_t>(i)].second(*skins.back());
        skins.back()->window.move(kMargin, kMargin + i * kStep);
        skins.back()->window.show();
    }
    Settle(1500);
    const QPixmap shot = screen->grabWindow(0);
    return shot.save(QString::fromLocal8Bit(path)) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const bool sheet = argc > 2 && std::strcmp(argv[1], "--sheet") == 0;
    const char* path = argc > 1 ? argv[argc - 1] : nullptr;
    if (path == nullptr || (argc > 2 && !sheet)) {
        std::fprintf(stderr, "usage: vorn-skin-preview [--sheet] picture.png\n");
        return 2;
    }
    QApplication app(argc, argv);
    return sheet ? Sheet(path) : Screen(path);
}
