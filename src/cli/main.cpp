// tallowmere-fill: the fill engine for scripts and machines without a display.

#include "cli/fillcommand.h"
#include "platform/outputfile.h"
#include "platform/process.h"
#include "platform/signals.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringList>

#include <cstdio>
#include <system_error>

#ifdef Q_OS_WIN
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

fill::SignalState signalState;

void onStopSignal(int signal)
{
    signalState.record(signal);
}

// The undefined-behaviour sanitizer checks an object's type on its first member call through a pipe
// of its own: out of descriptors (as a deep --clean may be) that check fails. Each error category the
// program compares is met here, while descriptors are free.
void meetErrorCategories()
{
    for (const std::error_category* category : { &std::system_category(), &std::generic_category(),
                                                 &platform::make_error_code(platform::FileError::InUse).category() }) {
        [[maybe_unused]] const char* name = category->name();
    }
}

} // namespace

int main(int argc, char* argv[])
{
    platform::prepareProcess();
    meetErrorCategories();
#ifndef Q_OS_WIN
    // Bytes that are not text in the system's encoding would come back from QString as another
    // name: refuse them rather than create or overwrite a file nobody named.
    for (int i = 1; i < argc; ++i) {
        const QByteArray given(argv[i]);
        if (QFile::encodeName(QFile::decodeName(given)) != given) {
            QStringList shown;
            for (int j = 1; j < argc; ++j) {
                shown.append(cli::escapedArgument(argv[j]));
            }
            return cli::refuseArguments(
                shown,
                QStringLiteral("argument %1 is not valid text in this system's encoding: %2").arg(i).arg(shown[i - 1]),
                stdout, stderr);
        }
    }
#endif
    // Forked here, before QCoreApplication and before any thread: see platform/guardian.h.
    cli::startGuardianFor(argc, argv);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tallowmere-fill"));
    QString error;
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    const auto options = cli::parseArguments(arguments, &error);
    if (!options) {
        return cli::refuseArguments(arguments, error, stdout, stderr);
    }
    if (options->help) {
        std::fputs(cli::usage().toLocal8Bit().constData(), stdout);
        return cli::ExitDone;
    }
    if (options->version) {
        std::fputs(cli::versionText().toLocal8Bit().constData(), stdout);
        return cli::ExitDone;
    }
    // Every signal that ends a terminal session or a job ends the run the same way: before the next
    // run of blocks, the file in whole blocks, with the summary; a held volume is released. Blocked
    // before the first thread starts, they are taken by one thread of their own, which records them
    // for the fill's checks and wakes a hold.
    platform::blockStopSignals();
    platform::catchStopSignals(onStopSignal);
    return cli::run(*options, signalState, isatty(fileno(stderr)) != 0, stdout, stderr);
}
