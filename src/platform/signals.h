#pragma once

namespace platform {

// Has the signals that ask a program to end (SIGINT, SIGTERM, and where they exist SIGHUP and
// SIGQUIT) call handler. The handler runs in signal context. A SIGHUP ignored when the program started
// stays ignored: nohup relies on that.
void catchStopSignals(void (*handler)(int signal));

} // namespace platform
