#pragma once

#include "cli/modecontext.h"

namespace cli {

// A fill of bytes into one file: checked before anything is made, written, then reported, or held with a
// command run under it; the exit code.
int fillBytes(Context& context, const Volume& volume, bool stderrIsTerminal);

} // namespace cli
