#include "core/sizetext.h"

#include <charconv>
#include <cmath>
#include <string>

namespace fill {

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

int digitValue(char c)
{
    if (isDigit(c)) {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return 99;
}

double readRadix(const std::string& s, size_t i, int radix)
{
    double value = 0;
    for (; i < s.size(); ++i) {
        const int digit = digitValue(s[i]);
        if (digit >= radix) {
            break;
        }
        value = value * radix + digit;
    }
    return value;
}

// from_chars refuses numbers beyond a double's range; decide between infinity and zero from the
// decimal exponent of the first significant digit.
double outOfRange(const std::string& intDigits, const std::string& fracDigits, long long exponent, bool negative)
{
    long long leading;
    const auto firstInt = intDigits.find_first_not_of('0');
    if (firstInt != std::string::npos) {
        leading = static_cast<long long>(intDigits.size() - firstInt);
    } else {
        const auto firstFrac = fracDigits.find_first_not_of('0');
        if (firstFrac == std::string::npos) {
            return negative ? -0.0 : 0.0;
        }
        leading = -static_cast<long long>(firstFrac);
    }
    const double magnitude = leading + exponent > 0 ? HUGE_VAL : 0.0;
    return negative ? -magnitude : magnitude;
}

// With a Japanese input method on, a size is typed in full-width forms: "１００" means 100, not 0
// (which would fill the disk). Digits, signs, the point, the exponent letters and the blank are read
// as their ASCII forms.
QChar halfWidth(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'０' && u <= u'９') {
        return QChar(u'0' + (u - u'０'));
    }
    switch (u) {
    case u'＋':
        return u'+';
    case u'－':
        return u'-';
    case u'．':
        return u'.';
    case u'Ｅ':
        return u'E';
    case u'ｅ':
        return u'e';
    case u'Ｄ':
        return u'D';
    case u'ｄ':
        return u'd';
    case u'\u3000':
        return u' ';
    default:
        return c;
    }
}

} // namespace

double readSizeText(QStringView text)
{
    std::string s;
    s.reserve(static_cast<size_t>(text.size()));
    for (QChar c : text) {
        c = halfWidth(c);
        if (c == u' ' || c == u'\t' || c == u'\n') {
            continue;
        }
        // Anything outside ASCII ends the number.
        s.push_back(c.unicode() < 0x80 ? static_cast<char>(c.unicode()) : '\x7f');
    }

    if (s.size() >= 2 && s[0] == '&') {
        if (s[1] == 'H' || s[1] == 'h') {
            return readRadix(s, 2, 16);
        }
        if (s[1] == 'O' || s[1] == 'o') {
            return readRadix(s, 2, 8);
        }
        return 0;
    }

    size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    std::string intDigits;
    while (i < s.size() && isDigit(s[i])) {
        intDigits.push_back(s[i++]);
    }
    std::string fracDigits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && isDigit(s[i])) {
            fracDigits.push_back(s[i++]);
        }
    }
    if (intDigits.empty() && fracDigits.empty()) {
        return 0;
    }

    long long exponent = 0;
    bool exponentNegative = false;
    std::string exponentDigits;
    if (i < s.size() && (s[i] == 'E' || s[i] == 'e' || s[i] == 'D' || s[i] == 'd')) {
        size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) {
            exponentNegative = s[j] == '-';
            ++j;
        }
        while (j < s.size() && isDigit(s[j])) {
            exponentDigits.push_back(s[j]);
            // Saturate: any exponent this large already decides between infinity and zero.
            if (exponent < 1'000'000'000) {
                exponent = exponent * 10 + (s[j] - '0');
            }
            ++j;
        }
        if (exponentNegative) {
            exponent = -exponent;
        }
    }

    std::string number = negative ? "-" : "";
    number += intDigits.empty() ? "0" : intDigits;
    if (!fracDigits.empty()) {
        number += '.';
        number += fracDigits;
    }
    if (!exponentDigits.empty()) {
        number += exponentNegative ? "e-" : "e";
        number += exponentDigits;
    }
    double value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    (void)end;
    if (error == std::errc::result_out_of_range) {
        return outOfRange(intDigits, fracDigits, exponent, negative);
    }
    if (error != std::errc()) {
        return 0;
    }
    return value;
}

std::optional<qint64> targetBytes(QStringView sizeText, qint64 unit)
{
    const double bytes = readSizeText(sizeText) * static_cast<double>(unit);
    // Round to nearest, halves to even (the default rounding mode).
    const double rounded = std::nearbyint(bytes);
    if (!(rounded >= -0x1p63 && rounded < 0x1p63)) {
        return std::nullopt;
    }
    const auto target = static_cast<qint64>(rounded);
    return target == 0 ? fillTheDisk : target;
}

} // namespace fill
