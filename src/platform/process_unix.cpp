#include "platform/process.h"

#include <csignal>

namespace platform {

void prepareProcess()
{
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace platform
