#include "platform/process.h"

#include <windows.h>

namespace platform {

void prepareProcess()
{
    // The free space is asked at every keystroke in the path box: a drive without a disk in it must
    // answer with an error, not with the system's "no disk" box.
    SetErrorMode(SetErrorMode(0) | SEM_FAILCRITICALERRORS);
}

} // namespace platform
