#include "cli/fillcommand.h"

#include "cli/cleanmode.h"
#include "cli/fillmode.h"
#include "cli/inodemode.h"
#include "cli/isolatemode.h"
#include "cli/modecontext.h"
#include "core/pathparts.h"
#include "platform/guardian.h"
#include "platform/outputfile.h"

#include <QStorageInfo>

namespace cli {

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::optional<Progress::Style> progressStyle(const Options& options, bool stderrIsTerminal)
{
    switch (options.progress) {
    case ProgressStyle::Text:
        return Progress::Style::Text;
    case ProgressStyle::Json:
        return Progress::Style::Json;
    case ProgressStyle::None:
        return std::nullopt;
    case ProgressStyle::Automatic:
        break;
    }
    return !options.quiet && stderrIsTerminal ? std::optional(Progress::Style::Text) : std::nullopt;
}

QString fileSystemOf(const QString& dir)
{
    return QString::fromUtf8(QStorageInfo(dir.isEmpty() ? QStringLiteral(".") : dir).fileSystemType());
}

int refuseArguments(const QStringList& arguments, const QString& error, std::FILE* out, std::FILE* err)
{
    print(err, QStringLiteral("tallowmere-fill: %1\nTry 'tallowmere-fill --help'.\n").arg(error));
    if (!asksForJson(arguments)) {
        return ExitUsage;
    }
    Summary summary;
    summary.reason = QStringLiteral("error");
    summary.code = ExitUsage;
    summary.error = error;
    return printJson(out, err, summary);
}

bool needsGuardian(const Options& options)
{
    return options.holds() && !options.keep && !options.cleans() && !options.isolates() && !options.help
        && !options.version;
}

void startGuardianFor(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    QString error;
    if (const auto options = parseArguments(arguments, &error); options && needsGuardian(*options)) {
        platform::guardian::start();
    }
}

int run(const Options& options, fill::SignalState& stopSignals, bool stderrIsTerminal, std::FILE* out, std::FILE* err)
{
    if (options.cleans()) {
        return clean(options, stopSignals, out, err);
    }
    if (options.isolates()) {
        return runIsolated(options, stopSignals, out, err);
    }
    Context context { options, stopSignals, out, err, std::nullopt };
    // The space that counts is where the data lands: through a symbolic link, the target's volume.
    const auto landing = fill::landingFolder(options.path);
    const Volume volume { landing ? landing->drive : QString(), landing ? landing->folder : QString(),
                          landing.has_value() };
    if (const auto error = platform::guardian::startError(); error && needsGuardian(options)) {
        context.say(QStringLiteral("cannot start the guardian that removes the fill should this run be killed "
                                   "(%1): killed, it leaves its fill for --clean")
                        .arg(platform::errorText(error)));
    }
    int code = ExitDone;
    if (options.inodes) {
        if (const auto style = progressStyle(options, stderrIsTerminal)) {
            const auto space = volume.space();
            context.progress.emplace(*style, space ? std::max<qint64>(0, space->inodesAvailable) : 0, err,
                                     Progress::Unit::Files);
        }
        code = fillInodes(context, volume.drive, volume.dir);
    } else {
        code = fillBytes(context, volume, stderrIsTerminal);
    }
    // What the run made is released, removed or kept: the guardian has nothing left to do.
    platform::guardian::finish();
    return code;
}

} // namespace cli
