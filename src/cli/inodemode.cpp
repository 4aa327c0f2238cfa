#include "cli/inodemode.h"

#include "cli/holdmode.h"
#include "core/commandenvironment.h"
#include "core/fillengine.h"
#include "core/inodefill.h"
#include "platform/fillfolder.h"
#include "platform/guardian.h"
#include "platform/outputfile.h"

#include <QFileInfo>
#include <QProcessEnvironment>

namespace cli {

namespace {

// Why the fill folder could not be made.
QString cannotMakeFolder(const std::error_code& error)
{
#ifdef Q_OS_WIN
    // The C runtime words "not supported" as "Unknown error".
    if (error == std::errc::operation_not_supported) {
        return QStringLiteral("--inodes is not available on Windows: its volumes have no small limit of files to run "
                              "out of; fill the volume's bytes instead");
    }
#endif
    return platform::errorText(error);
}

} // namespace

int fillInodes(Context& context, const QString& drive, const QString& dir)
{
    const Options& options = context.options;
    Summary summary;
    summary.path = options.path;
    summary.fileSystem = fileSystemOf(dir);
    summary.inodesCreated = 0;
    const auto started = std::chrono::steady_clock::now();
    const auto before = platform::volumeSpace(drive, dir);
    summary.availableBefore = before ? before->available : -1;
    summary.inodesAvailableBefore = before ? before->inodesAvailable : -1;

    // The folder is not made, or not filled: why, once.
    const auto refuse = [&](const QString& why, const QString& reason = QStringLiteral("error"), int code = ExitUsage) {
        summary.reason = reason;
        summary.code = code;
        summary.error = why;
        context.say(options.path + QStringLiteral(": ") + why);
        return options.json ? printJson(context.out, context.err, summary) : summary.code;
    };
    platform::FillFolder folder;
    if (platform::fileExists(options.path) || QFileInfo(options.path).isDir()) {
        return refuse(QStringLiteral("it exists: --inodes makes a new folder"));
    }
    if (options.leaveInodes && fill::inodesTooFewToLeave(summary.inodesAvailableBefore, *options.leaveInodes)) {
        // Nothing is made: the volume is as it was.
        summary.available = summary.availableBefore;
        summary.inodesAvailable = summary.inodesAvailableBefore;
        return summary.inodesAvailableBefore < 0
            ? refuse(QStringLiteral("cannot tell the inodes available on its volume"))
            : refuse(QStringLiteral("only %1 inodes are available, too few to leave %2 after the folder "
                                    "and its marker: nothing was made")
                         .arg(summary.inodesAvailableBefore)
                         .arg(*options.leaveInodes),
                     QStringLiteral("space to leave already reached"), ExitDiskFullEarly);
    }
    if (const auto error = folder.create(options.path, fill::markerName, fill::markerText())) {
        return refuse(cannotMakeFolder(error));
    }

    fill::InodeHooks hooks;
    hooks.stopRequested = [&context] { return context.stopSignals.first.load() != 0; };
    if (context.progress) {
        hooks.made = [&](qint64 files) { context.progress->update(files, secondsSince(started)); };
    }
    fill::InodeFill filler(folder, options.leaveInodes, hooks);
    const fill::InodeResult result = filler.fill();
    platform::guardian::folderFiles(folder.files(), false);
    const fill::Outcome outcome = result.outcome;
    const bool quota = result.quotaFull;
    if (context.progress) {
        context.progress->finish(folder.files(), secondsSince(started));
    }
    summary.seconds = secondsSince(started);
    summary.inodesCreated = folder.files();
    const auto after = platform::volumeSpace(drive, dir);
    summary.available = after ? after->available : -1;
    summary.inodesAvailable = after ? after->inodesAvailable : -1;
    const FillEnd end { outcome,
                        quota,
                        context.stopSignals.first.load(),
                        0,
                        std::nullopt,
                        options.leaveInodes ? *options.leaveInodes : -1,
                        summary.inodesAvailable };
    Verdict verdict = verdictFor(end);
    if (outcome == fill::Outcome::DiskFull && !quota) {
        // A volume that still has inodes ran out of blocks for the folder's list of names.
        verdict.reason = summary.inodesAvailable > 0 ? QStringLiteral("disk full") : QStringLiteral("inodes full");
    }
    summary.reason = verdict.reason;
    summary.code = verdict.code;
    summary.error = result.error ? platform::errorText(result.error) : QString();

    if (!options.holds()) {
        folder.close();
        return context.finish(summary);
    }
    if (summary.code != ExitDone) {
        QString why;
        summary.removed = release(folder, options.keep, &why);
        return context.finish(summary);
    }
    const QProcessEnvironment environment
        = fill::commandEnvironment({ QFileInfo(options.path).absoluteFilePath(), 0, summary.available, folder.files(),
                                     summary.inodesAvailable, false });
    const auto topUp = [&] {
        platform::guardian::folderFiles(folder.files(), true);
        summary.toppedUp += filler.topUp();
        summary.inodesCreated = folder.files();
        platform::guardian::folderFiles(folder.files(), false);
    };
    return holdAndRelease(context, folder, summary, environment, topUp);
}

} // namespace cli
