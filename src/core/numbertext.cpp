#include "core/numbertext.h"

#include <QLocale>

#include <cmath>

namespace fill {

QString numberText(double value)
{
    if (!std::isfinite(value)) {
        return QString::number(value);
    }
    if (value == 0) {
        return QStringLiteral("0");
    }
    // "d.ddddddddddddddde±x": the value rounded to 15 significant digits, in the C locale.
    const QString scientific = QLocale::c().toString(value, 'e', 14);
    const qsizetype e = scientific.indexOf(u'e');
    const bool negative = scientific.startsWith(u'-');
    QString digits = scientific.left(e).remove(u'-').remove(u'.');
    const int exponent = scientific.mid(e + 1).toInt();
    while (digits.size() > 1 && digits.endsWith(u'0')) {
        digits.chop(1);
    }

    QString text;
    if (exponent < 0) {
        text = QStringLiteral("0.") + QString(-exponent - 1, u'0') + digits;
    } else if (exponent + 1 >= digits.size()) {
        text = digits + QString(exponent + 1 - digits.size(), u'0');
    } else {
        text = digits.left(exponent + 1) + u'.' + digits.mid(exponent + 1);
    }
    return negative ? u'-' + text : text;
}

} // namespace fill
