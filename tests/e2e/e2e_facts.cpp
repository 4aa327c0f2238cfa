// Tells the real-window suite what it needs to know of the program, from the program's own sources:
// the centre of each control of the main window, in twips below the menu bar, and the header text
// that begins every fill file.

#include "core/fillengine.h"
#include "ui/mainwindowlayout.h"

#include <cstdio>

int main()
{
    for (const mainwindowlayout::Place& place : mainwindowlayout::controls) {
        std::printf("control %.*s %d %d\n", static_cast<int>(place.name.size()), place.name.data(),
                    place.left + place.width / 2, place.top + place.height / 2);
    }
    std::printf("header %s\n", fill::headerText().constData());
    return 0;
}
