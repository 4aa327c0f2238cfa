#pragma once

#include "cli/holder.h"
#include "cli/options.h"

#include <cstdio>

namespace cli {

// --clean: removes (or with --dry-run lists) the fills under the folder; the exit code.
int clean(const Options& options, SignalState& stopSignals, std::FILE* out, std::FILE* err);

} // namespace cli
