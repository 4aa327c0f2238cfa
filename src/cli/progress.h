#pragma once

#include <QString>
#include <QtGlobal>

#include <cstdio>

namespace cli {

// The progress of a fill on standard error, at most about four times a second: a line that
// rewrites itself on a terminal, or one JSON object a line for programs.
class Progress
{
public:
    enum class Style { Text, Json };
    enum class Unit { Bytes, Files }; // what is counted: bytes written, or files made (--inodes)
    static constexpr double interval = 0.25; // seconds between two reports

    // goal: the bytes the fill is expected to write; 0 when not known.
    Progress(Style style, qint64 goal, std::FILE* stream, Unit unit = Unit::Bytes);

    // The fill has written this many bytes, seconds after it started. Reports when the last report
    // is at least interval old; returns whether it did.
    bool update(qint64 written, double seconds);
    // Ends the display: a text line is closed so the summary starts on a line of its own; a program
    // reading JSON gets the final count, even of a fill too quick for any report before.
    void finish(qint64 written, double seconds);

    // What one report says, without printing it.
    QString text(qint64 written, double seconds) const;
    QString json(qint64 written, double seconds) const;

private:
    void report(qint64 written, double seconds);

    Style m_style;
    Unit m_unit;
    qint64 m_goal;
    std::FILE* m_stream;
    double m_lastShown = 0;
    qint64 m_lastWritten = 0;
    bool m_shown = false;
};

// A size as people read it: 1.5 MiB.
QString humanBytes(double bytes);

} // namespace cli
