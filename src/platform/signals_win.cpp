#include "platform/signals.h"

#include <csignal>

namespace platform {

void catchStopSignals(void (*handler)(int signal))
{
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
}

} // namespace platform
