// The floor of the start-up benchmark: the least a Qt Widgets program does to
// show a window of the player's size, frameless like it, filled with one
// colour (kFloorColour in StartupBench.cpp) and titled by its first argument.
#include <QApplication>
#include <QPalette>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QWidget window;
    window.setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    window.setWindowTitle(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("Floor"));
    window.setFixedSize(430, 130);
    QPalette palette = window.palette();
    palette.setColor(QPalette::Window, QColor(0x2a, 0x5d, 0x8f));
    window.setPalette(palette);
    window.setAutoFillBackground(true);
    window.show();
    return application.exec();
}
