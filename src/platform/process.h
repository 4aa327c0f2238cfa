#pragma once

namespace platform {

// Process-wide settings the program needs before its first write: a write past a file-size limit
// or into a closed pipe must come back as an error, not end the process with a signal, and standard
// input, output and error are open (on /dev/null where they were closed), so that no file the
// program opens takes their place and receives its messages. First thing in main().
void prepareProcess();

} // namespace platform
