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

// Whether a run with these options is guarded: one that holds its fill and removes it at the end
// (--run or --hold without --keep) must not leave it behind when it is killed outright.
bool needsGuardian(const Options& options);
// Starts the guardian (platform/guardian.h) when the arguments ask for a guarded run. First thing in
// main(), while the process has one thread: the arguments are read here as QCoreApplication reads them.
void startGuardianFor(int argc, char* argv[]);

// Does what the options say: a fill (held, or with a command run under it), a fill of inodes, or a
// clean-up. Progress and the summary go to err, or as JSON to out. The stop signals are read before every
// run of blocks and while holding. stderrIsTerminal: whether progress is shown unasked.
int run(const Options& options, fill::SignalState& stopSignals, bool stderrIsTerminal, std::FILE* out, std::FILE* err);

} // namespace cli
