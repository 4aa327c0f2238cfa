#include "core/hold.h"

#include "platform/process.h"
#include "platform/signals.h"

#include <QElapsedTimer>

#include <algorithm>
#include <limits>

namespace fill {

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
        // A hold of weeks waits in steps an int of milliseconds can hold; each wake works out what is left.
        platform::waitForSignal(static_cast<int>(std::min<qint64>(wait, std::numeric_limits<int>::max())));
    }
    result.seconds = timer.elapsed() / 1000.0;
    return result;
}

HoldResult Holder::run(const QStringList& command, const QProcessEnvironment& environment, std::function<int()> inChild,
                       std::function<bool()> ended, const std::function<void()>& started)
{
    HoldResult result;
    QString path;
    if (const std::error_code error = platform::findCommand(command.first(), &path)) {
        result.start = error == std::errc::permission_denied ? CommandStart::NotExecutable : CommandStart::NotFound;
        return result;
    }
    // Counted first: a signal that comes after the look below is forwarded once the command runs.
    const int signalsBefore = m_signals.count.load();
    // A signal that came after the fill and before the command ends the hold before it begins.
    if (const int signal = m_signals.first.load()) {
        result.signal = signal;
        result.start = CommandStart::Interrupted;
        return result;
    }
    QElapsedTimer timer;
    timer.start();
    platform::CommandGroup group;
    group.setChildSetup(std::move(inChild));
    if (const auto error = group.start(path, command.first(), command.mid(1), environment)) {
        result.start = CommandStart::Failed;
        result.startError = error;
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

} // namespace fill
