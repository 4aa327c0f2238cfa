#include "cli/isolatemode.h"

#include "cli/summary.h"
#include "core/commandenvironment.h"
#include "platform/filesystem.h"
#include "platform/isolate.h"
#include "platform/process.h"

#include <QProcessEnvironment>
#include <QStorageInfo>

#include <chrono>

namespace cli {

int runIsolated(const Options& options, SignalState& stopSignals, std::FILE* out, std::FILE* err)
{
    const auto started = std::chrono::steady_clock::now();
    const auto say = [err](const QString& text) { print(err, QStringLiteral("tallowmere-fill: ") + text + u'\n'); };
    Summary summary;
    summary.path = options.isolateDir;
    summary.isolated = true;
    const auto finish = [&] { return options.json ? printJson(out, err, summary) : summary.code; };
    // DIR cannot be isolated: nothing was made, and COMMAND does not run.
    const auto refuse = [&](const QString& why) {
        say(why);
        summary.reason = QStringLiteral("error");
        summary.code = ExitUsage;
        summary.error = why;
        return finish();
    };

    const std::optional<qint64> inodes
        = options.inodes ? std::optional<qint64>(options.leaveInodes.value_or(0)) : std::nullopt;
    platform::Isolation isolation(options.isolateDir, options.leave ? options.leave->bytes : 0, inodes);
    if (!isolation.error().isEmpty()) {
        return refuse(isolation.error());
    }
    if (!isolation.warning().isEmpty()) {
        say(isolation.warning());
    }
    if (const QString why = isolation.lay(); !why.isEmpty()) {
        // A signal that ended the set-up ends the run as any signal does.
        if (const int signal = stopSignals.first.load()) {
            summary.reason = QStringLiteral("interrupted");
            summary.code = exitCodeForSignal(signal);
            return finish();
        }
        return refuse(why);
    }
    const QString dir = isolation.folder();
    summary.path = dir;
    summary.fileSystem = QString::fromUtf8(QStorageInfo(dir).fileSystemType());
    const auto volume = platform::volumeSpace({}, dir);
    summary.availableBefore = volume ? volume->available : -1;
    summary.available = isolation.bytesAvailable();
    fill::FillFacts facts { dir, 0, summary.available, std::nullopt, std::nullopt, true };
    if (inodes) {
        summary.inodesCreated = 0;
        summary.inodesAvailableBefore = volume ? volume->inodesAvailable : -1;
        summary.inodesAvailable = *inodes;
        facts.inodes = 0;
        facts.availableInodes = *inodes;
    }
    const QProcessEnvironment environment = fill::commandEnvironment(facts);
    summary.reason = QStringLiteral("target reached");
    summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    Holder holder(stopSignals, {});
    // Said only once COMMAND runs in the layer: its process may still find DIR's path changed and refuse.
    const HoldResult held = holder.run(
        options.command, environment, [&isolation] { return isolation.join(); },
        [&isolation] { return isolation.commandEnded(); },
        [&] {
            if (!options.json) {
                print(err, summary.toLine());
            }
        });
    // COMMAND has ended: a signal from then on is for the filler, and ends the copy of --keep.
    const int signalsSeen = held.signalsAtEnd >= 0 ? held.signalsAtEnd : stopSignals.count.load();
    if (const QString why = isolation.joinFailure(); !why.isEmpty()) {
        return refuse(why);
    }
    if (!held.error.isEmpty()) {
        say(held.error);
    }
    const platform::Leftovers left = isolation.leftovers();
    if (held.leftRunning || left.inGroup > 0) {
        say(QStringLiteral("%1 left processes running in its process group: they were ended before the layer "
                           "was dropped")
                .arg(options.command.first()));
    }
    const auto processes = [](int count) {
        return count == 1 ? QStringLiteral("a process") : QStringLiteral("%1 processes").arg(count);
    };
    if (left.outside > 0) {
        say(QStringLiteral("%1 left %2 running outside its process group, ended with the layer")
                .arg(options.command.first(), processes(left.outside)));
    }
    if (left.stubborn > 0) {
        say(QStringLiteral("%1 of what %2 left did not end on SIGTERM within %3 s: killed with the layer")
                .arg(processes(left.stubborn), options.command.first())
                .arg(platform::CommandGroup::graceMilliseconds / 1000));
    }
    const platform::LayerUse use = isolation.use();
    summary.layerBytes = use.bytes;
    summary.layerFiles = use.files;
    summary.held = true;
    summary.heldSeconds = held.seconds;
    summary.commandExitCode = held.commandCode;
    summary.code = held.commandCode.value_or(ExitDone);
    if (left.stubborn > 0 && summary.code == ExitDone) {
        summary.code = ExitNotRemoved;
    }
    // The layer itself is always gone; --keep keeps a copy of it.
    summary.removed = true;
    if (options.keep) {
        QString why;
        bool interrupted = false;
        summary.keptIn = isolation.keep(&why, [&] { return interrupted = stopSignals.count.load() != signalsSeen; });
        if (!summary.keptIn.isEmpty()) {
            say(QStringLiteral("what COMMAND wrote is kept in %1").arg(summary.keptIn));
        }
        if (!why.isEmpty()) {
            say(why);
            summary.error = why;
            summary.code = ExitWriteError;
        }
        if (interrupted) {
            summary.reason = QStringLiteral("interrupted");
            summary.code = exitCodeForSignal(stopSignals.last.load());
        }
    }
    return finish();
}

} // namespace cli
