#pragma once

namespace platform {

// Has the signals that ask a program to end (SIGINT, SIGTERM, and where they exist SIGHUP and
// SIGQUIT) call handler. The handler runs in signal context.
void catchStopSignals(void (*handler)(int signal));

} // namespace platform
