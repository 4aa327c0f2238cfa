#pragma once

#include <QString>

namespace fill {

// A number as the free-space display writes it: at most 15 significant digits, rounded; "." as the
// decimal point whatever the locale; no thousands separators, no trailing zeros, and no decimal
// point for a whole value. Never exponent form.
QString numberText(double value);

} // namespace fill
