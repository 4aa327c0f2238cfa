#pragma once

#include "cli/modecontext.h"
#include "core/hold.h"
#include "platform/outputfile.h"

#include <QProcessEnvironment>
#include <QString>

#include <functional>

// --hold and --run: what a fill made is held, a command run under it, then it is released.
namespace cli {

// The fill file as a hold releases it: one that another program took over is left as it is.
struct HeldFile
{
    platform::OutputFile& file;
    const bool& takenOver;

    void close() { file.close(); }
    std::error_code remove()
    {
        if (takenOver) {
            file.close();
            return platform::make_error_code(platform::FileError::TakenOver);
        }
        return file.remove();
    }
};

// Removes (or, with --keep, leaves) what a held run made; false with why when it could not.
template<typename Target> bool release(Target& target, bool keep, QString* why)
{
    if (keep) {
        target.close();
        return true;
    }
    if (const auto error = target.remove()) {
        *why = platform::errorText(error);
        return false;
    }
    return true;
}

// For a command that never ran: sets the code a shell gives (127 not found, 126 cannot be started, or
// the signal's that came first) and says why; empty when it ran, or when nothing was to run.
QString settleCommandStart(fill::HoldResult& held, const QString& program);

// Holds what the fill made, as --run or --hold say, then removes it; the exit code of the whole.
template<typename Target>
int holdAndRelease(Context& context, Target& target, Summary& summary, const QProcessEnvironment& environment,
                   const std::function<void()>& topUp)
{
    const Options& options = context.options;
    if (!options.json) {
        print(context.err, summary.toLine());
    }
    fill::Holder holder(context.stopSignals, options.topUp ? topUp : std::function<void()>());
    fill::HoldResult held
        = options.command.isEmpty() ? holder.hold(options.holdSeconds) : holder.run(options.command, environment);
    if (const QString why = settleCommandStart(held, options.command.value(0)); !why.isEmpty()) {
        context.say(why);
    }
    if (held.leftRunning) {
        context.say(QStringLiteral("%1 left processes running in its process group: they were ended before the "
                                   "volume was released")
                        .arg(options.command.first()));
    }
    summary.held = true;
    summary.heldSeconds = held.seconds;
    summary.commandExitCode = held.commandCode;
    if (held.commandCode) {
        summary.code = *held.commandCode;
    } else if (held.signal && options.holdSeconds) {
        // Cut short: the time asked for was not held.
        summary.code = exitCodeForSignal(held.signal);
    } else {
        summary.code = ExitDone;
    }
    QString why;
    summary.removed = release(target, options.keep, &why) && !options.keep;
    if (!options.keep && !summary.removed) {
        context.say(summary.path + QStringLiteral(": cannot remove the fill file: ") + why);
        summary.error = why;
        summary.code = ExitNotRemoved;
    }
    if (options.json) {
        return printJson(context.out, context.err, summary);
    }
    if (options.command.isEmpty()) {
        context.say(QStringLiteral("held %1 s%2")
                        .arg(held.seconds, 0, 'f', 2)
                        .arg(summary.removed ? QStringLiteral(", fill removed") : QString()));
    }
    return summary.code;
}

} // namespace cli
