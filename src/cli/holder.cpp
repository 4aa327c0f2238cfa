#include "cli/holder.h"

#include "cli/summary.h"
#include "platform/signals.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
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

HoldResult Holder::run(const QStringList& command, const QProcessEnvironment& environment,
                       const std::function<void()>& inChild)
{
    HoldResult result;
    if (const int code = findCommand(command.first(), &result.error)) {
        result.commandCode = code;
        return result;
    }
    QProcess process;
    process.setProgram(command.first());
    process.setArguments(command.mid(1));
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.setInputChannelMode(QProcess::ForwardedInputChannel);
    QProcessEnvironment all = QProcessEnvironment::systemEnvironment();
    all.insert(environment);
    process.setProcessEnvironment(all);
#ifdef Q_OS_UNIX
    process.setChildProcessModifier([&inChild] {
        platform::restoreDefaultSignals();
        if (inChild) {
            inChild();
        }
    });
#else
    Q_UNUSED(inChild); // nothing runs between fork and exec where there is no fork
#endif
    // A signal that came after the fill and before the command ends the hold before it begins.
    if (const int signal = m_signals.first.load()) {
        result.signal = signal;
        result.commandCode = exitCodeForSignal(signal);
        return result;
    }
    QElapsedTimer timer;
    timer.start();
    const int signalsBefore = m_signals.count.load();
    process.start();
    if (!process.waitForStarted(-1)) {
        result.error = process.errorString();
        result.commandCode = ExitCannotExecute;
        return result;
    }
    int forwarded = signalsBefore;
    qint64 toppedUp = 0;
    while (process.state() != QProcess::NotRunning && !process.waitForFinished(50)) {
        // A terminal's Ctrl-C has reached a command in our process group already: sent again it
        // would count twice.
        if (const int count = m_signals.count.load(); count != forwarded) {
            forwarded = count;
            if (!m_signals.lastFromTerminal.load() || !platform::inOurProcessGroup(process.processId())) {
                platform::sendSignal(process.processId(), m_signals.last.load());
            }
        }
        if (m_topUp && timer.elapsed() - toppedUp >= topUpMilliseconds) {
            m_topUp();
            toppedUp = timer.elapsed();
        }
    }
    result.seconds = timer.elapsed() / 1000.0;
    // On Unix the code of a command a signal ended is the signal's number.
    result.commandCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : 128 + process.exitCode();
    return result;
}

} // namespace cli
