#include "ui/placement.h"

#include "ui/twips.h"

#include <QScreen>
#include <QWidget>
#include <QWindow>

#include <cmath>

namespace about {

namespace {

// Nearest whole number, halves to even.
double whole(double value)
{
    return std::nearbyint(value);
}

double centreOnAxis(double mainStart, double mainLength, double length, double screenLength)
{
    const auto half = static_cast<long long>(whole(mainLength - length)) / 2; // truncates toward zero
    double position = whole(mainStart + static_cast<double>(half));
    if (position < 0) {
        position = 0;
    }
    if (screenLength - length < position) {
        position = whole(screenLength - length);
    }
    return position;
}

// The frame the window manager draws around a shown window, read from the window system now: a
// widget's own idea of it is taken at its last move or resize and misses a frame added after that.
QMargins currentFrame(const QWidget* window)
{
    const QWindow* handle = window->windowHandle();
    return handle && window->isVisible() ? handle->frameMargins() : QMargins();
}

} // namespace

Placement centredPlacement(double mainLeft, double mainTop, double mainWidth, double mainHeight, double width,
                           double height, double screenWidth, double screenHeight)
{
    return { centreOnAxis(mainLeft, mainWidth, width, screenWidth),
             centreOnAxis(mainTop, mainHeight, height, screenHeight) };
}

void centerOver(QWidget* window)
{
    QWidget* main = window->parentWidget() ? window->parentWidget()->window() : nullptr;
    if (main) {
        window->setWindowIcon(main->windowIcon());
    }
    QScreen* screen = (main ? main : window)->screen();
    if (!screen) {
        return;
    }
    // Work in the screen's own coordinates, so a second monitor behaves like the first.
    const QRect screenRect = screen->geometry();
    const QMargins mainFrame = main ? currentFrame(main) : QMargins();
    const QRect mainOuter = main ? main->geometry().marginsAdded(mainFrame).translated(-screenRect.topLeft())
                                 : QRect(QPoint(), screenRect.size());
    // Not shown yet, the window has no frame: count the main window's, which the same window manager
    // draws, so the outer size is centred and kept inside the screen, not the inner one.
    const QMargins frame = window->isVisible() ? currentFrame(window) : mainFrame;
    const QSize outer = window->geometry().marginsAdded(frame).size();
    const double dpiX = window->logicalDpiX();
    const double dpiY = window->logicalDpiY();
    auto tx = [dpiX](int pixels) { return twips::fromPixels(pixels, dpiX); };
    auto ty = [dpiY](int pixels) { return twips::fromPixels(pixels, dpiY); };

    const Placement place
        = centredPlacement(tx(mainOuter.left()), ty(mainOuter.top()), tx(mainOuter.width()), ty(mainOuter.height()),
                           tx(outer.width()), ty(outer.height()), tx(screenRect.width()), ty(screenRect.height()));
    window->move(screenRect.topLeft() + QPoint(twips::toPixels(place.left, dpiX), twips::toPixels(place.top, dpiY)));
}

} // namespace about
