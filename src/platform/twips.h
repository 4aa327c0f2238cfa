#pragma once

#include <QtGlobal>

// Window geometry in the layout tables is in twips (1/1440 inch); Qt places widgets in logical pixels.
namespace twips {

inline constexpr int perInch = 1440;

// Twips to logical pixels at the given logical dots per inch (15 twips make one pixel at 96 dpi).
int toPixels(double twips, double dpi);
// Logical pixels to twips at the given logical dots per inch.
double fromPixels(double pixels, double dpi);

} // namespace twips
