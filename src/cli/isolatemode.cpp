#include "cli/isolatemode.h"

#include "cli/holdmode.h"
#include "cli/isolatemessages.h"
#include "cli/summary.h"
#include "core/commandenvironment.h"
#include "core/isolationplan.h"
#include "platform/filesystem.h"
#include "platform/isolate.h"
#include "platform/process.h"

#include <QProcessEnvironment>
#include <QStorageInfo>

#include <chrono>

namespace cli {

namespace {

void say(std::FILE* err, const QString& text)
{
    print(err, QStringLiteral("tallowmere-fill: ") + text + u'\n');
}

// The summary's figures once the layer is laid, and the environment COMMAND gets.
QProcessEnvironment describeLayer(const platform::Isolation& isolation, std::optional<qint64> inodes, Summary& summary)
{
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
    return fill::commandEnvironment(facts);
}

// --keep, once COMMAND has ended: a signal from then on (past signalsSeen) ends the copy.
void keepLayer(const platform::Isolation& isolation, fill::SignalState& stopSignals, int signalsSeen, std::FILE* err,
               Summary& summary)
{
    bool interrupted = false;
    const platform::KeptLayer kept
        = isolation.keep([&] { return interrupted = stopSignals.count.load() != signalsSeen; });
    summary.keptIn = kept.path;
    if (!summary.keptIn.isEmpty()) {
        say(err, keptLayerMessage(summary.keptIn));
    }
    if (const QString why = keptLayerProblem(kept); !why.isEmpty()) {
        say(err, why);
        summary.error = why;
        summary.code = ExitWriteError;
    }
    if (interrupted) {
        summary.reason = QStringLiteral("interrupted");
        summary.code = exitCodeForSignal(stopSignals.last.load());
    }
}

// What COMMAND left and wrote, and how it ended.
void afterCommand(const Options& options, const platform::Isolation& isolation, const fill::HoldResult& held,
                  const QString& startProblem, std::FILE* err, Summary& summary)
{
    if (!startProblem.isEmpty()) {
        say(err, startProblem);
    }
    const platform::Leftovers left = isolation.leftovers();
    for (const QString& line : leftoverMessages(options.command.first(), held.leftRunning, left,
                                                platform::CommandGroup::graceMilliseconds / 1000)) {
        say(err, line);
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
}

} // namespace

int runIsolated(const Options& options, fill::SignalState& stopSignals, std::FILE* out, std::FILE* err)
{
    const auto started = std::chrono::steady_clock::now();
    Summary summary;
    summary.path = options.isolateDir;
    summary.isolated = true;
    const auto finish = [&] { return options.json ? printJson(out, err, summary) : summary.code; };
    // DIR cannot be isolated: nothing was made, and COMMAND does not run.
    const auto refuse = [&](const QString& why) {
        say(err, why);
        summary.reason = QStringLiteral("error");
        summary.code = ExitUsage;
        summary.error = why;
        return finish();
    };

    const std::optional<qint64> inodes
        = options.inodes ? std::optional<qint64>(options.leaveInodes.value_or(0)) : std::nullopt;
    platform::Isolation isolation(options.isolateDir, options.leave ? options.leave->bytes : 0, inodes);
    const fill::IsolationPlan plan = fill::planIsolation(isolation.facts(), isolation.bytesAvailable());
    if (plan.refused()) {
        return refuse(isolationRefusalMessage(plan));
    }
    if (const QString warning = isolationWarning(plan); !warning.isEmpty()) {
        say(err, warning);
    }
    if (const platform::IsolationFailure failed = isolation.lay(); failed.failed()) {
        // A signal that ended the set-up ends the run as any signal does.
        if (const int signal = stopSignals.first.load()) {
            summary.reason = QStringLiteral("interrupted");
            summary.code = exitCodeForSignal(signal);
            return finish();
        }
        return refuse(isolationFailureMessage(failed));
    }
    const QProcessEnvironment environment = describeLayer(isolation, inodes, summary);
    summary.reason = QStringLiteral("target reached");
    summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    fill::Holder holder(stopSignals, {});
    // Said only once COMMAND runs in the layer: its process may still find DIR's path changed and refuse.
    fill::HoldResult held = holder.run(
        options.command, environment, [&isolation] { return isolation.join(); },
        [&isolation] { return isolation.commandEnded(); },
        [&] {
            if (!options.json) {
                print(err, summary.toLine());
            }
        });
    // COMMAND has ended: a signal from then on is for the filler, and ends the copy of --keep.
    const QString startProblem = settleCommandStart(held, options.command.first());
    const int signalsSeen = held.signalsAtEnd >= 0 ? held.signalsAtEnd : stopSignals.count.load();
    if (const platform::IsolationFailure failed = isolation.joinFailure(); failed.failed()) {
        return refuse(isolationFailureMessage(failed));
    }
    afterCommand(options, isolation, held, startProblem, err, summary);
    if (options.keep) {
        keepLayer(isolation, stopSignals, signalsSeen, err, summary);
    }
    return finish();
}

} // namespace cli
