#pragma once

namespace platform {

// Has the signals that ask a program to end (SIGINT, SIGTERM, and where they exist SIGHUP and
// SIGQUIT) call handler. The handler runs in signal context. One that was ignored when the program
// started stays ignored, as shells leave it: nohup relies on that for SIGHUP.
void catchStopSignals(void (*handler)(int signal));

} // namespace platform
