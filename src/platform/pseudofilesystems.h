#pragma once

namespace platform {

// The kernel's pseudo file systems, by statfs()'s f_type: nothing there is data on a volume, and
// writing one of their files reconfigures the system. Its name ("proc", "sysfs", ...), or nullptr for
// a file system that holds data.
const char* pseudoFileSystemName(unsigned long type);

} // namespace platform
