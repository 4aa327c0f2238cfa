#pragma once

class QWidget;

namespace about {

struct Placement
{
    double left;
    double top;
};

// Where a window of the given outer size goes, in twips: centred over the main window, then kept
// inside the screen (the left/top edge wins when the window is larger than the screen).
Placement centredPlacement(double mainLeft, double mainTop, double mainWidth, double mainHeight, double width,
                           double height, double screenWidth, double screenHeight);

// Gives window the icon of the main window (its parent's window) and centres it over that window,
// inside the screen.
void centerOver(QWidget* window);

} // namespace about
