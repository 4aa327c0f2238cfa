#pragma once

#include "cli/options.h"
#include "core/hold.h"

#include <cstdio>

namespace cli {

// --clean: removes (or with --dry-run lists) the fills under the folder; the exit code.
int clean(const Options& options, fill::SignalState& stopSignals, std::FILE* out, std::FILE* err);

} // namespace cli
