#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <optional>
#include <system_error>

namespace fill {

// What the signal handlers tell a run. Written in signal context, on any of the program's threads
// and one handler interrupting another: lock-free atomics only.
struct SignalState
{
    static constexpr int queued = 64; // signals kept for forwarding before the oldest are written over

    std::atomic<int> first { 0 }; // the first signal that asked the run to end; 0 while none has
    std::atomic<int> last { 0 };
    std::atomic<int> count { 0 }; // how many have been recorded
    std::atomic<int> queue[queued] = {}; // the Nth signal at N % queued, 0 once taken

    void record(int signal)
    {
        int none = 0;
        first.compare_exchange_strong(none, signal);
        last = signal;
        // Each handler its own place, so two signals that arrive together are both kept, in order.
        queue[count.fetch_add(1) % queued].store(signal);
    }

    // The signal recorded as number index (from 0), taken out of the queue; 0 while its handler has
    // not stored it yet.
    int take(int index) { return queue[index % queued].exchange(0); }
};

// How far a command got towards running.
enum class CommandStart {
    Started,
    NotFound, // no such command (or no such file, given a path)
    NotExecutable, // found, but not a file that may be run
    Failed, // found, but starting it failed: startError says why
    Interrupted, // a stop signal came after the fill and before the command: it was never started
};

struct HoldResult
{
    double seconds = 0; // how long the volume was held
    int signal = 0; // the signal that ended a hold, 0 when the time ran out or the command ended
    CommandStart start = CommandStart::Started;
    std::error_code startError; // with CommandStart::Failed
    std::optional<int> commandCode; // once it ran: its exit code as a shell gives it (128 + N for signal N)
    bool leftRunning = false; // the command left processes running in its group, which were ended
    int signalsAtEnd = -1; // SignalState::count once ended() told the command ended; -1 when it never did
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
    // Runs command in a process group of its own (platform::CommandGroup) with standard input,
    // output and error and the environment inherited, plus environment, and forwards the stop
    // signals to its group. Once it has ended, nothing of its group is left running. A command that
    // never ran has no code: start says why.
    // inChild, when given, runs in the command's process between fork and exec, as
    // platform::CommandGroup::setChildSetup() says. ended, when given, tells that the command ended
    // before its process did (it waits for what the command left): signals from then on are not forwarded.
    // started, when given, is called once the command runs (its exec succeeded), before the wait for its end.
    HoldResult run(const QStringList& command, const QProcessEnvironment& environment,
                   std::function<int()> inChild = {}, std::function<bool()> ended = {},
                   const std::function<void()>& started = {});

private:
    SignalState& m_signals;
    std::function<void()> m_topUp;
};

} // namespace fill
