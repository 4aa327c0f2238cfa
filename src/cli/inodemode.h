#pragma once

#include "cli/modecontext.h"

namespace cli {

// --inodes: a folder of empty files until the volume has no inode left (or those to leave); the exit code.
int fillInodes(Context& context, const QString& drive, const QString& dir);

} // namespace cli
