#pragma once

#include "core/fillengine.h"

#include <QJsonObject>
#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <optional>

namespace cli {

enum ExitCode : int {
    ExitDone = 0, // target reached, or the disk filled when filling was asked for
    ExitUsage = 2, // bad arguments, or the file cannot be created
    ExitDiskFullEarly = 3, // the disk filled before the requested size (the file is kept), or the space to
                           // leave could not be kept
    ExitWriteError = 4, // a write failed for another reason (the file is kept), or the --json summary did
    ExitNotRemoved = 5, // after --run or --hold, the fill file could not be removed; --isolate: what COMMAND
                        // left did not end on SIGTERM
    ExitCannotExecute = 126, // --run: the command was found but could not be started
    ExitNotFound = 127, // --run: no such command
    ExitInterrupted = 130, // SIGINT or SIGTERM; other signals that end a run give 128 + their number
};

// The exit code of a run that a signal ended before its target.
int exitCodeForSignal(int signal);

// How a fill ended, as far as its reason and exit code go.
struct FillEnd
{
    fill::Outcome outcome = fill::Outcome::TargetReached;
    bool quotaFull = false;
    int signal = 0; // the signal that stopped it
    qint64 written = 0;
    std::optional<qint64> size; // the size asked for
    qint64 leave = -1; // the space to leave; -1: none
    qint64 available = -1; // available after the fill; -1: not known
    qint64 unit = 0; // the volume's allocation unit: the floor is met within it; 0: not known
    // Available at the settled reading the fill ended on, the file still open: whether the run met
    // the floor, whatever others freed since. -1: not known, available stands for it.
    qint64 reached = -1;
};

struct Verdict
{
    QString reason; // the "reason" of the summary
    int code = ExitDone;
};

Verdict verdictFor(const FillEnd& end);

// Everything the summary reports. Fields that do not apply to a run are left out of the JSON.
struct Summary
{
    QString path;
    QString fileSystem;
    QString method; // "write" or "allocate"
    QString data; // "ones" or "random"
    qint64 written = 0;
    qint64 allocated = 0;
    qint64 availableBefore = -1; // -1: not known
    qint64 available = -1; // after the fill (while full): -1: not known
    double seconds = 0;
    bool compressing = false;
    QString reason;
    int code = 0;
    QString error;
    // --inodes
    qint64 inodesCreated = -1;
    qint64 inodesAvailableBefore = -1;
    qint64 inodesAvailable = -1;
    // --run and --hold
    bool held = false;
    double heldSeconds = 0;
    qint64 toppedUp = 0;
    std::optional<int> commandExitCode;
    bool removed = false;
    // --isolate: what COMMAND wrote into its layer, and where --keep put a copy of it
    bool isolated = false;
    qint64 layerBytes = 0;
    qint64 layerFiles = 0;
    QString keptIn;

    QJsonObject toJson() const;
    // The summary line: bytes written, bytes left available, seconds and why it stopped.
    QString toLine() const;
};

// Prints the summary as one JSON object on out and returns the exit code: a script reads this
// summary, so an empty or cut one must not pass for success.
int printJson(std::FILE* out, std::FILE* err, const Summary& summary);

// False when the text did not reach the stream, with errno telling why.
bool print(std::FILE* stream, const QString& text);
// The bytes as they are: UTF-8 JSON, say.
bool print(std::FILE* stream, const QByteArray& bytes);

} // namespace cli
