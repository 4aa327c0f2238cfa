#pragma once

namespace platform {

// Process-wide settings the program needs before its first write: a write past a file-size limit
// or into a closed pipe must come back as an error, not end the process with a signal.
void prepareProcess();

} // namespace platform
