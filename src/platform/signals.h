#pragma once

#include <span>

namespace platform {

// The signals that ask a program to end: SIGINT, SIGTERM, and where they exist SIGHUP and SIGQUIT.
std::span<const int> stopSignals();

// Blocks the stop signals this program catches (all but a SIGHUP it was started with ignored: nohup
// relies on that) and, on Unix, SIGCHLD and SIGCONT, so that they wait to be taken rather than
// interrupt whatever runs. In main() before any thread starts: threads inherit the mask, and a
// thread that left them open would take a signal that nobody waits for.
void blockStopSignals();

// Has handler called for each stop signal blockStopSignals() blocked, in the order they come, on a
// thread of its own (on Windows, where the system calls it); each one also ends a waitForSignal() of
// the thread that called this. A handler may still run in signal context: lock-free atomics only.
void catchStopSignals(void (*handler)(int signal));

// Waits up to milliseconds (without end when negative) for a stop signal or, on Unix, for a child
// process to end, stop or go on; false when the time ran out. From the thread that called
// catchStopSignals(): the signals are blocked there, so none that comes between a look and the wait
// is missed.
bool waitForSignal(int milliseconds);

#ifdef _WIN32
// The event a stop signal sets, for a wait on other handles that it is to end too; null before
// catchStopSignals(). Such a wait takes the wake-up from waitForSignal().
void* stopSignalEvent();
#else
// In a child process between fork() and exec(), async-signal-safe: the stop signals and SIGCHLD act
// by default again, a SIGHUP this program was started with ignored staying ignored.
void resetStopSignals();
// In a child process between fork() and exec(), async-signal-safe: the signal mask this program was
// started with, as blockStopSignals() found it.
void restoreSignalMask();
#endif

} // namespace platform
