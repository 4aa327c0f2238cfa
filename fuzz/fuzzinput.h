#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>

// Fuzz bytes as text: UTF-16 code units when the first byte is odd (so lone surrogates, NULs and
// any code point reach the code), UTF-8 otherwise (so ASCII seeds read naturally).
inline QString fuzzText(const uint8_t* data, size_t size)
{
    if (size > 0 && (data[0] & 1)) {
        return QString(reinterpret_cast<const QChar*>(data + 1), static_cast<qsizetype>((size - 1) / 2));
    }
    return QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
}

#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition))                                                                                              \
            __builtin_trap();                                                                                          \
    } while (false)
