#include "cli/summary.h"

#include "platform/outputfile.h"

#include <QJsonDocument>

#include <cerrno>
#include <csignal>

namespace cli {

int exitCodeForSignal(int signal)
{
    // Ctrl-C and a plain kill have always ended with 130; scripts may test for it.
    if (signal == SIGINT || signal == SIGTERM) {
        return ExitInterrupted;
    }
    return 128 + signal;
}

Verdict verdictFor(const FillEnd& end)
{
    const bool goalGiven = end.size || end.leave >= 0;
    switch (end.outcome) {
    case fill::Outcome::TargetReached:
        if (end.leave >= 0 && end.available >= 0 && end.available < end.leave) {
            // Cut back to its header block, the file still takes from the space to leave.
            return { QStringLiteral("space to leave not kept"), ExitDiskFullEarly };
        }
        if (end.leave >= 0 && end.unit > 0 && (end.reached >= 0 ? end.reached : end.available) >= end.leave + end.unit
            && !(end.size && end.written >= *end.size)) {
            // The volume could not be brought to the floor: it gives space back late or in lumps.
            return { QStringLiteral("space to leave missed"), ExitDiskFullEarly };
        }
        if (end.size && end.written < *end.size) {
            // The space to leave came first: the size asked for was not reached.
            return { QStringLiteral("space to leave reached before the size"), ExitDiskFullEarly };
        }
        return { QStringLiteral("target reached"), ExitDone };
    case fill::Outcome::Stopped:
        return { QStringLiteral("interrupted"), exitCodeForSignal(end.signal) };
    case fill::Outcome::DiskFull:
        return { end.quotaFull ? QStringLiteral("quota") : QStringLiteral("disk full"),
                 goalGiven ? ExitDiskFullEarly : ExitDone };
    case fill::Outcome::WriteFailed:
        return { QStringLiteral("error"), ExitWriteError };
    case fill::Outcome::CreateFailed:
    case fill::Outcome::HeaderFailed:
        return { QStringLiteral("error"), ExitUsage };
    }
    return { QStringLiteral("error"), ExitWriteError };
}

QJsonObject Summary::toJson() const
{
    QJsonObject object {
        { QStringLiteral("version"), 1 },
        { QStringLiteral("path"), path },
        { QStringLiteral("bytes_written"), written },
        { QStringLiteral("bytes_available_before"), availableBefore },
        { QStringLiteral("bytes_available"), available },
        { QStringLiteral("seconds"), seconds },
        { QStringLiteral("reason"), reason },
        { QStringLiteral("exit_code"), code },
    };
    if (!fileSystem.isEmpty()) {
        object.insert(QStringLiteral("filesystem"), fileSystem);
    }
    if (!method.isEmpty()) {
        object.insert(QStringLiteral("method"), method);
        object.insert(QStringLiteral("bytes_allocated"), allocated);
    }
    if (!data.isEmpty()) {
        object.insert(QStringLiteral("data"), data);
        object.insert(QStringLiteral("compressing"), compressing);
    }
    if (inodesCreated >= 0) {
        object.insert(QStringLiteral("inodes_created"), inodesCreated);
        object.insert(QStringLiteral("inodes_available_before"), inodesAvailableBefore);
        object.insert(QStringLiteral("inodes_available"), inodesAvailable);
    }
    if (held) {
        object.insert(QStringLiteral("held_seconds"), heldSeconds);
        object.insert(QStringLiteral("bytes_topped_up"), toppedUp);
        object.insert(QStringLiteral("removed"), removed);
        if (commandExitCode) {
            object.insert(QStringLiteral("command_exit_code"), *commandExitCode);
        }
    }
    if (isolated) {
        object.insert(QStringLiteral("isolated"), true);
        object.insert(QStringLiteral("layer_bytes"), layerBytes);
        object.insert(QStringLiteral("layer_files"), layerFiles);
        if (!keptIn.isEmpty()) {
            object.insert(QStringLiteral("kept_in"), keptIn);
        }
    }
    if (!error.isEmpty()) {
        object.insert(QStringLiteral("error"), error);
    }
    return object;
}

QString Summary::toLine() const
{
    const QString what = isolated
        ? QStringLiteral("%1 isolated, %2 bytes%3 left available to COMMAND")
              .arg(path)
              .arg(available)
              .arg(inodesAvailable >= 0 ? QStringLiteral(" and %1 inodes").arg(inodesAvailable) : QString())
        : inodesCreated >= 0
        ? QStringLiteral("%1 files made in %2, %3 inodes left available")
              .arg(inodesCreated)
              .arg(path)
              .arg(inodesAvailable)
        : QStringLiteral("%1 bytes written to %2, %3 bytes left available").arg(written).arg(path).arg(available);
    return QStringLiteral("tallowmere-fill: %1, %2 s, %3%4\n")
        .arg(what)
        .arg(seconds, 0, 'f', 2)
        .arg(reason, error.isEmpty() ? QString() : QStringLiteral(": ") + error);
}

bool print(std::FILE* stream, const QByteArray& bytes)
{
    const bool put = std::fputs(bytes.constData(), stream) >= 0;
    return std::fflush(stream) == 0 && put;
}

bool print(std::FILE* stream, const QString& text)
{
    return print(stream, text.toLocal8Bit());
}

int printJson(std::FILE* out, std::FILE* err, const Summary& summary)
{
    // JSON is UTF-8 whatever the system's code page: on Windows that would turn most names into "?".
    if (!print(out, QJsonDocument(summary.toJson()).toJson(QJsonDocument::Compact) + '\n')) {
        const std::error_code why(errno, std::generic_category());
        print(err, QStringLiteral("tallowmere-fill: cannot write the summary: %1\n").arg(platform::errorText(why)));
        return summary.code == ExitDone ? ExitWriteError : summary.code;
    }
    return summary.code;
}

} // namespace cli
