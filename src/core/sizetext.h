#pragma once

#include <QStringView>
#include <QtGlobal>

#include <limits>
#include <optional>

namespace fill {

inline constexpr qint64 blockSize = 1024;
inline constexpr qint64 kilobyte = 1024;
inline constexpr qint64 megabyte = 1024 * 1024;
// The target that stands for "write until the disk is full".
inline constexpr qint64 fillTheDisk = std::numeric_limits<qint64>::max();

// Reads the number at the start of a size text: full-width digits, signs, point, exponent letters
// and blank count as their ASCII forms; blanks, tabs and line feeds are ignored wherever they stand; an optional sign,
// digits with at most one ".", an optional exponent (E, e, D or d); or "&H"/"&O" and a hexadecimal/octal integer.
// Reading stops at the first character that cannot continue the number; a text that does not begin with one reads as 0.
// Never fails: a number too large for a double reads as an infinity.
double readSizeText(QStringView text);

// The byte count a size text asks for in the given unit (1024 or 1048576 bytes), rounded to the
// nearest integer with halves to even. 0 becomes fillTheDisk. Nothing when the count does not fit
// a signed 64-bit integer.
std::optional<qint64> targetBytes(QStringView sizeText, qint64 unit);

} // namespace fill
