#include "cli/holder.h"

#include "cli/summary.h"
#include "platform/outputfile.h"
#include "platform/process.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QStandardPaths>

#include <chrono>
#include <thread>

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
        // A signal cuts the sleep short, so stopping never waits out the step.
        qint64 step = 100;
        if (seconds) {
            step = std::min<qint64>(step, static_cast<qint64>(*seconds * 1000) - elapsed);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(std::max<qint64>(1, step)));
    }
    result.seconds = timer.elapsed() / 1000.0;
    return result;
}

int findCommand(const QString& program, QString* why)
{
    if (program.contains(u'/')) {
        const QFileInfo info(program);
        if (!info.exists()) {
            *why = QStringLiteral("%1: no such file").arg(program);
            return ExitNotFound;
        }
        if (info.isDir() || !info.isExecutable()) {
            *why = QStringLiteral("%1: not an executable file").arg(program);
            return ExitCannotExecute;
        }
        return 0;
    }
    if (QStandardPaths::findExecutable(program).isEmpty()) {
        *why = QStringLiteral("%1: command not found").arg(program);
        return ExitNotFound;
    }
    return 0;
}

HoldResult Holder::run(const QStringList& command, const QProcessEnvironment& environment, std::function<int()> inChild,
                       std::function<bool()> ended, const std::function<void()>& started)
{
    HoldResult result;
    if (const int code = findCommand(command.first(), &result.error)) {
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
    if (const auto error = group.start(command.first(), command.mid(1), environment)) {
        result.error = QStringLiteral("%1: %2").arg(command.first(), platform::errorText(error));
        result.commandCode = error == std::errc::no_such_file_or_directory ? ExitNotFound : ExitCannotExecute;
        return result;
    }
    if (started) {
        started();
    }
    int forwarded = signalsBefore;
    qint64 toppedUp = 0;
    while (!group.waitForEnd(topUpMilliseconds / 5)) {
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
