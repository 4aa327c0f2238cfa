#pragma once

#include <array>
#include <string_view>

// Where everything of the main window goes, in twips (1/1440 inch; 15 twips make a pixel at 96 dpi),
// relative to the client area below the menu bar. The window is built from this table, and the tests
// and the real-window suite read it too.
namespace mainwindowlayout {

inline constexpr int clientWidth = 6615;
inline constexpr int clientHeight = 1950;
// Where the client area first shows on the screen.
inline constexpr int clientLeft = 2160;
inline constexpr int clientTop = 2400;

struct Place
{
    std::string_view name; // the control's object name
    int left, top, width, height;
    int tabIndex; // labels hold a place in the tab order but never take the focus
};

// In the order the controls are made.
inline constexpr std::array<Place, 14> controls { {
    { "pathCaption", 120, 120, 975, 255, 6 },
    { "browseButton", 1200, 120, 1000, 300, 0 },
    { "positionLabel", 3360, 120, 735, 255, 5 },
    { "pathEdit", 120, 480, 6375, 270, 7 },
    { "sizeCaption", 120, 960, 615, 255, 10 },
    { "sizeEdit", 960, 960, 855, 270, 9 },
    { "kbButton", 2160, 840, 615, 180, 11 },
    { "mbButton", 2160, 1080, 615, 180, 12 },
    { "freeSpaceCaption", 3000, 960, 1095, 255, 13 },
    { "freeSpaceLabel", 4440, 960, 60, 180, 4 },
    { "startButton", 960, 1560, 1000, 300, 1 },
    { "exitButton", 2040, 1560, 1000, 300, 3 },
    { "stopButton", 3960, 1560, 1000, 300, 2 },
    { "deleteButton", 5040, 1560, 1000, 300, 8 },
} };

} // namespace mainwindowlayout
