// The free-space number text for any byte count in either unit, and for any finite double: plain
// decimal, "." as the point, at most 15 significant digits, no trailing zeros, and it reads back
// as the value rounded to 15 digits.

#include "core/numbertext.h"
#include "fuzzinput.h"

#include <QLocale>

#include <cmath>
#include <cstring>

namespace {

void check(double value)
{
    const QString text = fill::numberText(value);
    FUZZ_CHECK(!text.isEmpty());
    for (const QChar c : text) {
        FUZZ_CHECK(c.isDigit() || c == u'.' || c == u'-');
    }
    FUZZ_CHECK(text.count(u'.') <= 1);
    if (text.contains(u'.')) {
        FUZZ_CHECK(!text.endsWith(u'0') && !text.endsWith(u'.'));
    }
    QString significant = text;
    significant.remove(u'-').remove(u'.');
    while (significant.startsWith(u'0')) {
        significant.remove(0, 1);
    }
    if (!text.contains(u'.')) {
        while (significant.endsWith(u'0')) {
            significant.chop(1);
        }
    }
    FUZZ_CHECK(significant.size() <= 15);
    bool ok = false;
    const double back = QLocale::c().toDouble(text, &ok);
    FUZZ_CHECK(ok);
    FUZZ_CHECK(std::fabs(back - value) <= std::fabs(value) * 1e-14);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 8) {
        return 0;
    }
    qint64 bytes = 0;
    std::memcpy(&bytes, data, sizeof bytes);
    if (bytes >= 0) {
        check(static_cast<double>(bytes) / 1024);
        check(static_cast<double>(bytes) / 1048576);
    }
    double value = 0;
    std::memcpy(&value, data, sizeof value);
    // Near the top of the double range the 15-digit rounding itself exceeds it and cannot read back.
    if (std::isfinite(value) && std::fabs(value) < 1e308) {
        check(value);
    }
    return 0;
}
