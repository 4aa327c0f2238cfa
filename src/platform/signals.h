#pragma once

#include <QtGlobal>

namespace platform {

// Has the signals that ask a program to end (SIGINT, SIGTERM, and where they exist SIGHUP and
// SIGQUIT) call handler, with whether the terminal sent it: a terminal signals its whole foreground
// process group, children included. The handler runs in signal context.
void catchStopSignals(void (*handler)(int signal, bool fromTerminal));

// Sends signal to the process pid; false where that cannot be done.
bool sendSignal(qint64 pid, int signal);

// True when the process pid is in this process's group, so a terminal's signal reached it too.
bool inOurProcessGroup(qint64 pid);

// For a child process between fork and exec: the signals this program ignores (a closed pipe, a
// file-size limit) take their default action again, as any command started from a shell expects.
void restoreDefaultSignals();

} // namespace platform
