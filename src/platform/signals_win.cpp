#include "platform/signals.h"

#include <csignal>

namespace platform {

namespace {

void (*stopHandler)(int, bool) = nullptr;

extern "C" void onStopSignal(int signal)
{
    // A console's Ctrl-C reaches every process attached to it.
    stopHandler(signal, true);
}

} // namespace

void catchStopSignals(void (*handler)(int signal, bool fromTerminal))
{
    stopHandler = handler;
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
}

bool sendSignal(qint64 pid, int signal)
{
    Q_UNUSED(pid);
    Q_UNUSED(signal);
    return false;
}

bool inOurProcessGroup(qint64 pid)
{
    Q_UNUSED(pid);
    return true;
}

void restoreDefaultSignals() { }

} // namespace platform
