#pragma once

#include "cli/options.h"
#include "core/hold.h"

#include <cstdio>

namespace cli {

// --isolate DIR --run COMMAND: COMMAND alone sees DIR full, through a layer of its own that nothing
// else sees and that is gone when COMMAND is. The summary goes to err, or as JSON to out. Returns the
// exit code: COMMAND's, as with --run, or 2 when DIR cannot be isolated.
int runIsolated(const Options& options, fill::SignalState& stopSignals, std::FILE* out, std::FILE* err);

} // namespace cli
