// tallowmere-fill: the fill engine for scripts and machines without a display.

#include "cli/fillcommand.h"
#include "platform/process.h"

#include <QCoreApplication>
#include <QFile>

#include <atomic>
#include <csignal>
#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

std::atomic<bool> stopRequested { false };

extern "C" void requestStop(int)
{
    stopRequested = true;
}

} // namespace

int main(int argc, char* argv[])
{
    platform::prepareProcess();
#ifndef Q_OS_WIN
    // Bytes that are not text in the system's encoding would come back from QString as another
    // name: refuse them rather than create or overwrite a file nobody named.
    for (int i = 1; i < argc; ++i) {
        const QByteArray given(argv[i]);
        if (QFile::encodeName(QFile::decodeName(given)) != given) {
            std::fprintf(stderr, "tallowmere-fill: argument %d is not valid text in this system's encoding\n", i);
            return cli::ExitUsage;
        }
    }
#endif
    QCoreApplication app(argc, argv);
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
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    const bool progress = !options->quiet && isatty(fileno(stderr));
    return cli::run(*options, stopRequested, progress, stdout, stderr);
}
