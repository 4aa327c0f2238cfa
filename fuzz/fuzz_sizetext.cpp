// The size-text reader on any text: never a crash, and the byte count is refused exactly when it
// does not fit 64 bits.

#include "core/sizetext.h"
#include "fuzzinput.h"

#include <cmath>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = fuzzText(data, size);
    const double value = fill::readSizeText(text);
    FUZZ_CHECK(!std::isnan(value));
    for (const qint64 unit : { fill::kilobyte, fill::megabyte }) {
        const auto target = fill::targetBytes(text, unit);
        const double bytes = std::nearbyint(value * static_cast<double>(unit));
        const bool fits = bytes >= -0x1p63 && bytes < 0x1p63;
        FUZZ_CHECK(target.has_value() == fits);
        if (target) {
            FUZZ_CHECK(*target != 0);
            FUZZ_CHECK(bytes == 0 ? *target == fill::fillTheDisk : static_cast<double>(*target) == bytes);
        }
    }
    return 0;
}
