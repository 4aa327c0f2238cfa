#include "platform/twips.h"

#include <cmath>

namespace twips {

int toPixels(double twips, double dpi)
{
    return static_cast<int>(std::lround(twips * dpi / perInch));
}

double fromPixels(double pixels, double dpi)
{
    return dpi > 0 ? pixels * perInch / dpi : 0.0;
}

} // namespace twips
