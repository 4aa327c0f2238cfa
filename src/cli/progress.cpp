#include "cli/progress.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

#include <algorithm>
#include <cmath>

namespace cli {

namespace {

QString duration(double seconds)
{
    if (!std::isfinite(seconds) || seconds < 0) {
        return QStringLiteral("--:--");
    }
    const auto total = static_cast<qint64>(seconds + 0.5);
    return total >= 3600 ? QStringLiteral("%1:%2:%3")
                               .arg(total / 3600)
                               .arg(total / 60 % 60, 2, 10, QLatin1Char('0'))
                               .arg(total % 60, 2, 10, QLatin1Char('0'))
                         : QStringLiteral("%1:%2").arg(total / 60).arg(total % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

QString humanBytes(double bytes)
{
    // The C locale: a log read elsewhere shows the same digits.
    return QLocale::c().formattedDataSize(static_cast<qint64>(std::llround(bytes)), 1, QLocale::DataSizeIecFormat);
}

Progress::Progress(Style style, qint64 goal, std::FILE* stream, Unit unit)
    : m_style(style)
    , m_unit(unit)
    , m_goal(goal)
    , m_stream(stream)
{
}

QString Progress::text(qint64 written, double seconds) const
{
    const double average = seconds > 0 ? written / seconds : 0;
    const double sinceShown = seconds - m_lastShown;
    const double current = sinceShown > 0 ? (written - m_lastWritten) / sinceShown : average;
    const double percent = m_goal > 0 ? std::min(100.0, 100.0 * written / m_goal) : 0;
    const double eta = average > 0 && m_goal > written ? (m_goal - written) / average : 0;
    const auto amount = [this](double count) {
        return m_unit == Unit::Files ? QString::number(std::llround(count)) : humanBytes(count);
    };
    return QStringLiteral("\r%1 %2  %3 %  %4/s now  %5/s average  ETA %6   ")
        .arg(amount(written), m_unit == Unit::Files ? QStringLiteral("files made") : QStringLiteral("written"))
        .arg(percent, 0, 'f', 1)
        .arg(amount(current), amount(average), duration(eta));
}

QString Progress::json(qint64 written, double seconds) const
{
    const double sinceShown = seconds - m_lastShown;
    const double rate = sinceShown > 0 ? (written - m_lastWritten) / sinceShown : 0;
    const double average = seconds > 0 ? written / seconds : 0;
    const bool files = m_unit == Unit::Files;
    QJsonObject object {
        { files ? QStringLiteral("files_made") : QStringLiteral("bytes_written"), written },
        { files ? QStringLiteral("goal_files") : QStringLiteral("goal_bytes"),
          m_goal > 0 ? QJsonValue(m_goal) : QJsonValue() },
        { files ? QStringLiteral("files_per_second") : QStringLiteral("bytes_per_second"), std::round(rate) },
        { QStringLiteral("seconds"), std::round(seconds * 1000) / 1000 },
    };
    // No estimate until there is a rate and a goal to estimate from.
    object.insert(QStringLiteral("eta_seconds"),
                  average > 0 && m_goal > 0
                      ? QJsonValue(std::round(std::max<qint64>(0, m_goal - written) / average * 10) / 10)
                      : QJsonValue());
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

bool Progress::update(qint64 written, double seconds)
{
    if (seconds - m_lastShown < interval) {
        return false;
    }
    report(written, seconds);
    return true;
}

void Progress::report(qint64 written, double seconds)
{
    const QString report = m_style == Style::Text ? text(written, seconds) : json(written, seconds) + u'\n';
    std::fputs(report.toLocal8Bit().constData(), m_stream);
    std::fflush(m_stream);
    m_shown = true;
    m_lastShown = seconds;
    m_lastWritten = written;
}

void Progress::finish(qint64 written, double seconds)
{
    if (m_style == Style::Json && (!m_shown || written != m_lastWritten)) {
        report(written, seconds);
    }
    if (m_shown && m_style == Style::Text) {
        std::fputs("\n", m_stream);
        std::fflush(m_stream);
    }
    m_shown = false;
}

} // namespace cli
