#pragma once

#include <cmath>

// Window geometry in the layout tables is in twips (1/1440 inch); Qt places widgets in logical pixels.
namespace twips {

inline constexpr int perInch = 1440;

// Twips to logical pixels at the given logical dots per inch (15 twips make one pixel at 96 dpi).
inline int toPixels(double twips, double dpi)
{
    return static_cast<int>(std::lround(twips * dpi / perInch));
}

// Logical pixels to twips at the given logical dots per inch.
inline double fromPixels(double pixels, double dpi)
{
    return dpi > 0 ? pixels * perInch / dpi : 0.0;
}

} // namespace twips
