#pragma once

#include "cli/options.h"
#include "cli/summary.h"
#include "core/hold.h"

#include <QString>
#include <QStringList>

#include <cstdio>

// The command-line filler: the same engine and file format as the window, for scripts.
namespace cli {

// Says why the arguments were refused, on err; with --json among them, also the summary on out.
// Returns the exit code.
int refuseArguments(const QStringList& arguments, const QString& error, std::FILE* out, std::FILE* err);

// Does what the options say: a fill (held, or with a command run under it), a fill of inodes, or a
// clean-up. Progress and the summary go to err, or as JSON to out. The stop signals are read before every
// run of blocks and while holding. stderrIsTerminal: whether progress is shown unasked.
int run(const Options& options, fill::SignalState& stopSignals, bool stderrIsTerminal, std::FILE* out, std::FILE* err);

} // namespace cli
