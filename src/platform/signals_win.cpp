#include "platform/signals.h"

#include <atomic>
#include <csignal>

#include <windows.h>

namespace platform {

namespace {

constexpr int stops[] = { SIGINT, SIGTERM };

std::atomic<void (*)(int)> stopHandler { nullptr };

HANDLE stopEvent()
{
    static const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return event;
}

void onStopSignal(int signal)
{
    if (const auto handler = stopHandler.load()) {
        handler(signal);
    }
    SetEvent(stopEvent());
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
    for (const int signal : stops) {
        std::signal(signal, onStopSignal);
    }
}

bool waitForSignal(int milliseconds)
{
    const DWORD wait = milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds);
    return WaitForSingleObject(stopEvent(), wait) == WAIT_OBJECT_0;
}

} // namespace platform
