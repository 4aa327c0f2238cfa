#include "platform/signals.h"

#include <csignal>
#include <initializer_list>

namespace platform {

void catchStopSignals(void (*handler)(int signal))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    // One handler at a time: one that interrupted another would record its signal first.
    for (const int signal : { SIGINT, SIGTERM, SIGHUP, SIGQUIT }) {
        sigaddset(&action.sa_mask, signal);
    }
    for (const int signal : { SIGINT, SIGTERM, SIGHUP, SIGQUIT }) {
        // nohup leaves SIGHUP ignored for the program to keep. SIGINT and SIGQUIT are caught all the
        // same: a shell starts a script's background jobs with them ignored, and scripts stop them so.
        struct sigaction before = {};
        if (signal == SIGHUP && ::sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) {
            continue;
        }
        ::sigaction(signal, &action, nullptr);
    }
}

} // namespace platform
