#pragma once

#include <QtGlobal>

// Byte counts the suites write sizes in.
inline constexpr qint64 KiB = 1024;
inline constexpr qint64 MiB = 1024 * KiB;
