#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <optional>

namespace cli {

// What the signal handlers tell a run. Written in signal context: lock-free atomics only.
struct SignalState
{
    std::atomic<int> first { 0 }; // the first signal that asked the run to end; 0 while none has
    std::atomic<int> last { 0 };
    std::atomic<int> count { 0 };
    std::atomic<bool> lastFromTerminal { false };

    void record(int signal, bool fromTerminal)
    {
        int none = 0;
        first.compare_exchange_strong(none, signal);
        last = signal;
        lastFromTerminal = fromTerminal;
        ++count;
    }
};

struct HoldResult
{
    double seconds = 0; // how long the volume was held
    int signal = 0; // the signal that ended a hold, 0 when the time ran out or the command ended
    std::optional<int> commandCode; // the command's exit code as a shell gives it (128 + N for signal N)
    QString error; // why the command could not be started
};

// Keeps a volume full: for a time or until a signal, or while a command runs. topUp, when given,
// is called at least every 250 ms to write again what has been freed.
class Holder
{
public:
    static constexpr int topUpMilliseconds = 250;

    Holder(SignalState& stopSignals, std::function<void()> topUp);

    // Until seconds have passed, or without them until SIGINT, SIGTERM or SIGHUP.
    HoldResult hold(std::optional<double> seconds);
    // Runs command with standard input, output and error and the environment inherited, plus
    // environment, and forwards the stop signals to it. The command's code is 127 when it cannot be
    // found and 126 when it cannot be started, as shells have it. inChild, when given, runs in the
    // command's process between fork and exec.
    HoldResult run(const QStringList& command, const QProcessEnvironment& environment,
                   const std::function<void()>& inChild = {});

private:
    SignalState& m_signals;
    std::function<void()> m_topUp;
};

// 0 when the program can be started, else the code a shell gives: 127 not found, 126 not executable.
int findCommand(const QString& program, QString* why);

} // namespace cli
