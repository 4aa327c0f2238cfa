#include "platform/process.h"

namespace platform {

void prepareProcess()
{
    // Nothing to do: Windows reports these conditions as errors of the call.
}

} // namespace platform
