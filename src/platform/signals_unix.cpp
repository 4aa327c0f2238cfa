#include "platform/signals.h"

#include <csignal>
#include <unistd.h>

namespace platform {

namespace {

void (*stopHandler)(int, bool) = nullptr;

extern "C" void onStopSignal(int signal, siginfo_t* info, void*)
{
    // The terminal's signals come from the kernel; kill(1) and other programs send them as a user.
    stopHandler(signal, info != nullptr && info->si_code == SI_KERNEL);
}

} // namespace

void catchStopSignals(void (*handler)(int signal, bool fromTerminal))
{
    stopHandler = handler;
    struct sigaction action = {};
    action.sa_sigaction = onStopSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signal : { SIGINT, SIGTERM, SIGHUP, SIGQUIT }) {
        ::sigaction(signal, &action, nullptr);
    }
}

bool sendSignal(qint64 pid, int signal)
{
    return pid > 0 && ::kill(static_cast<pid_t>(pid), signal) == 0;
}

bool inOurProcessGroup(qint64 pid)
{
    return pid > 0 && ::getpgid(static_cast<pid_t>(pid)) == ::getpgrp();
}

void restoreDefaultSignals()
{
    for (const int signal : { SIGPIPE, SIGXFSZ, SIGINT, SIGTERM, SIGHUP, SIGQUIT }) {
        ::signal(signal, SIG_DFL);
    }
}

} // namespace platform
