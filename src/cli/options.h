#pragma once

#include "core/fillengine.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <optional>

namespace cli {

// A size with an optional unit: K/KB/KiB, M/MB/MiB, G/GB/GiB, T/TB/TiB (any case), every unit a
// power of 1024; a bare number is bytes. Nothing for anything else, negative numbers included.
std::optional<qint64> parseSize(const QString& text);

// A duration: a number of seconds, or a number with s, m, h or d (lower case, so that a SIZE such as
// 5M is never taken for one). Nothing for anything else.
std::optional<double> parseDuration(const QString& text);

struct Leave
{
    qint64 bytes = 0; // leave this many bytes available...
    double percent = -1; // ...or this percentage of the volume, when not negative
};

enum class ProgressStyle {
    Automatic, // text on a terminal, else none
    Text,
    Json, // one JSON object a line
    None,
};

struct Options
{
    QString path;
    std::optional<qint64> size; // nothing: fill the volume
    std::optional<Leave> leave;
    std::optional<double> usedPercent; // fill until df shows this Use%
    bool force = false;
    bool quiet = false;
    bool json = false;
    bool help = false;
    bool version = false;
    ProgressStyle progress = ProgressStyle::Automatic;
    fill::Data data = fill::Data::Ones;
    bool allocate = false;

    // Holding the volume full.
    bool hold = false;
    std::optional<double> holdSeconds; // nothing: until a signal
    QStringList command; // --run: the command and its arguments
    bool keep = false;
    bool topUp = false;

    // Inodes instead of bytes.
    bool inodes = false;
    std::optional<qint64> leaveInodes;

    // A layer of its own over DIR for COMMAND: DIR full for COMMAND alone.
    QString isolateDir;

    // Cleaning up after killed runs.
    QString cleanDir;
    bool recursive = false;
    bool dryRun = false;

    bool holds() const { return hold || !command.isEmpty(); }
    bool cleans() const { return !cleanDir.isEmpty(); }
    bool isolates() const { return !isolateDir.isEmpty(); }
};

// Parses the arguments (without the program name). On failure returns nothing and says why.
std::optional<Options> parseArguments(const QStringList& arguments, QString* error);

// The help text, --help's output.
QString usage();
QString versionText();
// Every option's name as given: --name.
QStringList optionNames();

// An argument as it can be shown: bytes that are not text in the system's encoding as \xNN.
QString escapedArgument(const QByteArray& argument);
// A name as ls --quoting-style=shell-escape shows it: as it is when a shell would read it so, else
// in single quotes, with characters that do not print and bytes that are not text as $'\n' or $'\377'.
QString shellQuoted(const QByteArray& name);

// Whether --json stands among arguments that could not be read.
bool asksForJson(const QStringList& arguments);

} // namespace cli
