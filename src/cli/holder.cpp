#include "cli/holder.h"

#include "cli/summary.h"
#include "platform/outputfile.h"
#include "platform/process.h"
#include "platform/signals.h"

#include <QElapsedTimer>

#include <algorithm>

namespace cli {

Holder::Holder(SignalState& stopSignals, std::function<void()> topUp)
    : m_signals(stopSignals)
    , m_topUp(std::move(topUp))
{
}

HoldResult Holder::hold(std::optional<double> seconds)
{
    QElapsedTimer timer;
    timer.start();
    qint64 toppedUp = 0;
    HoldResult result;
    for (;;) {
        if (const int signal = m_signals.first.load()) {
            result.signal = signal;
            break;
        }
        const qint64 elapsed = timer.elapsed();
        if (seconds && elapsed >= *seconds * 1000) {
            break;
        }
        if (m_topUp && elapsed - toppedUp >= topUpMilliseconds) {
            m_topUp();
            toppedUp = elapsed;
        }
        // Woken by a stop signal, else at the next top-up or the end of the time, whichever is first.
        qint64 wait = -1;
        if (m_topUp) {
            wait = std::max<qint64>(1, toppedUp + topUpMilliseconds - timer.elapsed());
        }
        if (seconds) {
            const qint64 left = std::max<qint64>(1, static_cast<qint64>(*seconds * 1000) - timer.elapsed());
            wait = wait < 0 ? left : std::min(wait, left);
        }
        platform::waitForSignal(static_cast<int>(wait));
    }
    result.seconds = timer.elapsed() / 1000.0;
    return result;
}

int findCommand(const QString& program, QString* path, QString* why)
{
    const std::error_code error = platform::findCommand(program, path);
    if (!error) {
        return 0;
    }
    if (error == std::errc::permission_denied) {
        *why = QStringLiteral("%1: not an executable file").arg(program);
        return ExitCannotExecute;
    }
    *why = program.contains(u'/') ? QStringLiteral("%1: no such file").arg(program)
                                  : QStringLiteral("%1: command not found").arg(program);
    return ExitNotFound;
}

HoldResult Holder::run(const QStringList& command, const QProcessEnvironment& environment, std::function<int()> inChild,
                       std::function<bool()> ended, const std::function<void()>& started)
{
    HoldResult result;
    QString path;
    if (const int code = findCommand(command.first(), &path, &result.error)) {
        result.commandCode = code;
        return result;
    }
    // Counted first: a signal that comes after the look below is forwarded once the command runs.
    const int signalsBefore = m_signals.count.load();
    // A signal that came after the fill and before the command ends the hold before it begins.
    if (const int signal = m_signals.first.load()) {
        result.signal = signal;
        result.commandCode = exitCodeForSignal(signal);
        return result;
    }
    QElapsedTimer timer;
    timer.start();
    platform::CommandGroup group;
    group.setChildSetup(std::move(inChild));
    if (const auto error = group.start(path, command.first(), command.mid(1), environment)) {
        result.error = QStringLiteral("%1: %2").arg(command.first(), platform::errorText(error));
        result.commandCode = error == std::errc::no_such_file_or_directory ? ExitNotFound : ExitCannotExecute;
        return result;
    }
    if (started) {
        started();
    }
    int forwarded = signalsBefore;
    qint64 toppedUp = 0;
    // Woken by the command's end or a stop signal, and for the top-ups at their time.
    const auto untilTopUp = [&] {
        return m_topUp ? static_cast<int>(std::max<qint64>(0, toppedUp + topUpMilliseconds - timer.elapsed())) : -1;
    };
    while (!group.waitForEnd(untilTopUp())) {
        // The command's group is not this program's: a signal that reached this program did not
        // reach the command (the terminal's Ctrl-C goes only to the group that holds the terminal).
        // Once the command has ended (its process waits for what it left), signals are the filler's.
        const bool gone = result.signalsAtEnd >= 0 || (ended && ended());
        if (gone && result.signalsAtEnd < 0) {
            result.signalsAtEnd = forwarded;
        }
        // Each signal once, in the order they came: two sent back to back may mean different things.
        while (forwarded != m_signals.count.load()) {
            const int signal = m_signals.take(forwarded);
            if (signal == 0) {
                break; // its handler is still storing it: next time round
            }
            if (!gone) {
                group.signal(signal);
            }
            ++forwarded;
        }
        if (m_topUp && timer.elapsed() - toppedUp >= topUpMilliseconds) {
            m_topUp();
            toppedUp = timer.elapsed();
        }
    }
    result.seconds = timer.elapsed() / 1000.0;
    result.commandCode = group.exitCode();
    // Nothing the command started may write to the volume once it is released.
    result.leftRunning = group.endGroup();
    return result;
}

} // namespace cli
