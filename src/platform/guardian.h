#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <system_error>

// The guardian: a small process of its own that removes what a held run made when the run dies
// without saying it ended (SIGKILL, the OOM killer, a crash). It holds open descriptors of what it
// guards and of the folders their names are in: when the run's end of their socket closes before
// the run said it was done, it empties the fill file through its descriptor (the space comes back
// even from a renamed file), removes it only by the name the run made and only if that name still
// leads to that very file (never following a link), and exits. It runs in a session of its own, so
// a kill of the run's process group leaves it to clean up, with standard input, output and error on
// /dev/null and no other descriptor, so that nobody waiting for the run's output waits for it.
// Linux only; elsewhere every call does nothing and start() says it is not supported.
namespace platform::guardian {

// Forks the guardian. Only while the process has one thread: first thing in main(), before
// anything starts a thread. Empty, or why there is none (the run goes on unguarded).
std::error_code start();
// Why start() found no guardian, empty when it started one or was never called.
std::error_code startError();
// The guardian's process number while it runs, else -1.
qint64 pid();

// Hands it the fill file open at fd, made at name.
std::error_code guardFile(int fd, const QByteArray& name);
// Hands it the fill folder open at fd, made at name, with its marker file markerName; files
// numbered from 1 are made in it from now on (see folderFiles()).
std::error_code guardFolder(int fd, const QByteArray& name, const QByteArray& markerName);
// The folder holds the files numbered 1 to count; growing: more follow, in order, until the next call.
void folderFiles(qint64 count, bool growing);
// Lets go of what it guards, which is left as it is: another program took it over.
void forget();
// The run ended and released (removed or kept) what it made: the guardian exits at once, and this
// waits for it.
void finish();

} // namespace platform::guardian
