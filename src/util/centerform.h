#pragma once

class QWidget;

namespace LIB_SYS {

// Gives window the main window's icon and places it centred over the main window (its parent's
// window), inside the screen.
void CENTER_FORM(QWidget* window);

} // namespace LIB_SYS
