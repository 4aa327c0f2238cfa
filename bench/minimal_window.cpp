// The smallest Qt Widgets program that shows a window: the floor TALLOWMR's start-up is measured
// against. With --text the window also shows one label in Japanese, so it pays for the font
// system as any window with text does; fill-bench.sh reports that floor too.

#include <QApplication>
#include <QLabel>
#include <QWidget>

#include <cstring>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const bool withText = argc > 1 && std::strcmp(argv[1], "--text") == 0;
    QWidget window;
    window.setWindowTitle(withText ? QStringLiteral("Tallowmere bench minimal text window")
                                   : QStringLiteral("Tallowmere bench minimal window"));
    window.resize(480, 320);
    if (withText) {
        auto* label = new QLabel(QStringLiteral("作成するファイル: fill.dat"), &window);
        label->move(16, 16);
    }
    window.show();
    return QApplication::exec();
}
