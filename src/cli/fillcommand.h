#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <atomic>
#include <cstdio>
#include <optional>

// The command-line filler: the same engine and file format as the window, for scripts.
namespace cli {

enum ExitCode : int {
    ExitDone = 0, // target reached, or the disk filled when filling was asked for
    ExitUsage = 2, // bad arguments, or the file cannot be created
    ExitDiskFullEarly = 3, // the disk filled before the requested size (the file is kept), or the space to
                           // leave could not be kept
    ExitWriteError = 4, // a write failed for another reason (the file is kept), or the --json summary did
    ExitInterrupted = 130, // SIGINT or SIGTERM; other signals that end a run give 128 + their number
};

// The exit code of a run that a signal ended before its target.
int exitCodeForSignal(int signal);

// A size with an optional unit: K/KB/KiB, M/MB/MiB, G/GB/GiB, T/TB/TiB (any case), every unit a
// power of 1024; a bare number is bytes. Nothing for anything else, negative numbers included.
std::optional<qint64> parseSize(const QString& text);

struct Leave
{
    qint64 bytes = 0; // leave this many bytes available...
    double percent = -1; // ...or this percentage of the volume, when not negative
};

struct Options
{
    QString path;
    std::optional<qint64> size; // nothing: fill the volume
    std::optional<Leave> leave;
    bool force = false;
    bool quiet = false;
    bool json = false;
    bool help = false;
    bool version = false;
};

// Parses the arguments (without the program name). On failure returns nothing and says why.
std::optional<Options> parseArguments(const QStringList& arguments, QString* error);

// Says why the arguments were refused, on err; with --json among them, also the summary on out.
// Returns the exit code.
int refuseArguments(const QStringList& arguments, const QString& error, std::FILE* out, std::FILE* err);

QString usage();
QString versionText();

// Runs a fill as the options say. Progress goes to err when showProgress; the summary goes to err,
// or as JSON to out. stop is polled before every run of blocks: the number of the signal that asks
// the run to end, 0 while none has.
int run(const Options& options, const std::atomic<int>& stop, bool showProgress, std::FILE* out, std::FILE* err);

// An argument as it can be shown: bytes that are not text in the system's encoding as \xNN.
QString escapedArgument(const QByteArray& argument);

} // namespace cli
