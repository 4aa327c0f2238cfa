#include "platform/signals.h"

#include <atomic>
#include <csignal>

#include <windows.h>

namespace platform {

namespace {

constexpr int stops[] = { SIGINT, SIGTERM };

std::atomic<void (*)(int)> stopHandler { nullptr };
std::atomic<HANDLE> stopEventHandle { nullptr };

HANDLE stopEvent()
{
    static const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    stopEventHandle = event;
    return event;
}

void onStopSignal(int signal)
{
    if (const auto handler = stopHandler.load()) {
        handler(signal);
    }
    SetEvent(stopEvent());
}

// A console has no signals: Ctrl-C and Ctrl-Break come as events to every process attached to it,
// on a thread the system starts. Ctrl-Break stops the filler as Ctrl-C does. A closing console, a
// logoff or a shutdown end the process once the handler returns: the fill file and the command's
// job go with it all the same, as the system closes their handles.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        onStopSignal(SIGINT);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        onStopSignal(SIGTERM);
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

std::span<const int> stopSignals()
{
    return stops;
}

void blockStopSignals()
{
    // Nothing to block: the system calls the handler on a thread of its own.
}

void catchStopSignals(void (*handler)(int signal))
{
    stopEvent();
    stopHandler = handler;
    // A process started with Ctrl-C ignored (in a group of its own) takes it again, as on Unix.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    // raise() and the C runtime's own signals.
    std::signal(SIGTERM, onStopSignal);
}

bool waitForSignal(int milliseconds)
{
    const DWORD wait = milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds);
    return WaitForSingleObject(stopEvent(), wait) == WAIT_OBJECT_0;
}

void* stopSignalEvent()
{
    return stopEventHandle.load();
}

} // namespace platform
