#include "platform/signals.h"

#include <csignal>
#include <ctime>
#include <pthread.h>
#include <system_error>
#include <thread>

namespace platform {

namespace {

constexpr int stops[] = { SIGINT, SIGTERM, SIGHUP, SIGQUIT };

sigset_t caught; // the stop signals this program takes: blocked, and waited for by the watcher
sigset_t wakes; // what ends a waitForSignal()
sigset_t startMask; // the mask the program was started with, for the commands it runs
bool hupIgnored = false;
pthread_t waiter; // the thread whose waitForSignal() a stop signal ends

void ignoreSignal(int) { }

void (*directHandler)(int) = nullptr; // without a thread of their own: see catchStopSignals()

void handleDirectly(int signal)
{
    directHandler(signal);
    ::pthread_kill(waiter, SIGCHLD); // pending there until its next waitForSignal()
}

void setDisposition(int signal, void (*handler)(int), const sigset_t* mask)
{
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    if (mask) {
        action.sa_mask = *mask;
    } else {
        sigemptyset(&action.sa_mask);
    }
    ::sigaction(signal, &action, nullptr);
}

} // namespace

std::span<const int> stopSignals()
{
    return stops;
}

void blockStopSignals()
{
    struct sigaction before = {};
    hupIgnored = ::sigaction(SIGHUP, nullptr, &before) == 0 && before.sa_handler == SIG_IGN;
    sigemptyset(&caught);
    for (const int signal : stops) {
        // A blocked signal is kept even when ignored: nohup's SIGHUP must not be blocked at all.
        if (signal != SIGHUP || !hupIgnored) {
            sigaddset(&caught, signal);
        }
    }
    sigemptyset(&wakes);
    sigaddset(&wakes, SIGCHLD);
    // A stopped job put back in the foreground gets only SIGCONT: its command may wait for the terminal.
    sigaddset(&wakes, SIGCONT);
    sigset_t all = caught;
    sigaddset(&all, SIGCHLD);
    sigaddset(&all, SIGCONT);
    ::pthread_sigmask(SIG_BLOCK, &all, &startMask);
}

void catchStopSignals(void (*handler)(int signal))
{
    // Caught rather than left as they were: a shell starts a script's background jobs with SIGINT
    // and SIGQUIT ignored, and scripts stop them so. One handler at a time, should a thread let
    // them in: one that interrupted another would record its signal first.
    for (const int signal : stops) {
        if (sigismember(&caught, signal)) {
            setDisposition(signal, handler, &caught);
        }
    }
    // The default action of SIGCHLD is to discard it, which some systems do even while it is blocked.
    setDisposition(SIGCHLD, ignoreSignal, nullptr);
    waiter = ::pthread_self();
    try {
        std::thread([handler] {
            for (;;) {
                int signal = 0;
                if (::sigwait(&caught, &signal) == 0) {
                    handler(signal);
                    // Told after the handler, so the waiter finds the signal recorded.
                    ::pthread_kill(waiter, SIGCHLD);
                }
            }
        }).detach();
    } catch (const std::system_error&) {
        // No thread to be had (a process limit): handled where they land, rather than never taken.
        directHandler = handler;
        for (const int signal : stops) {
            if (sigismember(&caught, signal)) {
                setDisposition(signal, handleDirectly, &caught);
            }
        }
        ::pthread_sigmask(SIG_UNBLOCK, &caught, nullptr);
    }
}

bool waitForSignal(int milliseconds)
{
    const timespec wait { static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000 };
    return ::sigtimedwait(&wakes, nullptr, milliseconds < 0 ? nullptr : &wait) > 0;
}

void resetStopSignals()
{
    for (const int signal : stops) {
        if (signal != SIGHUP || !hupIgnored) {
            setDisposition(signal, SIG_DFL, nullptr);
        }
    }
    setDisposition(SIGCHLD, SIG_DFL, nullptr);
}

void restoreSignalMask()
{
    ::pthread_sigmask(SIG_SETMASK, &startMask, nullptr);
}

} // namespace platform
