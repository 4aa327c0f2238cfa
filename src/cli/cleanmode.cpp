#include "cli/cleanmode.h"

#include "cli/summary.h"
#include "core/cleanup.h"
#include "platform/outputfile.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace cli {

int clean(const Options& options, fill::SignalState& stopSignals, std::FILE* out, std::FILE* err)
{
    QJsonArray removed;
    QJsonArray failed;
    QJsonArray inUse;
    bool listed = true;
    // In text, a name with a newline or an escape sequence in it must not pass for other names or
    // reach the terminal: quoted, as ls quotes it.
    const auto say = [err](const QByteArray& path, const QString& what) {
        print(err, QStringLiteral("tallowmere-fill: %1: %2\n").arg(shellQuoted(path), what));
    };
    const auto report = [&](const fill::CleanedFill& fill) {
        // A name that is not text is shown in the JSON as an argument is, rather than as another name.
        const QString path = escapedArgument(fill.path);
        if (!fill.error) {
            removed.append(path);
            if (!options.json) {
                listed = print(out, shellQuoted(fill.path) + u'\n') && listed;
            }
        } else if (fill.error == platform::make_error_code(platform::FileError::InUse)) {
            inUse.append(path);
            say(fill.path, QStringLiteral("in use by a fill that is still running: left alone"));
        } else if (fill.error == std::errc::interrupted) {
            say(fill.path, QStringLiteral("stopped before all of it was removed"));
        } else {
            failed.append(path);
            say(fill.path,
                platform::errorText(fill.error)
                    + (fill.leftAt.isEmpty()
                           ? QString()
                           : QStringLiteral(" (the file that took its name is now %1)").arg(shellQuoted(fill.leftAt))));
        }
    };
    fill::CleanHooks hooks;
    hooks.stopRequested = [&stopSignals] { return stopSignals.first.load() != 0; };
    QByteArray failedAt;
    const std::error_code error = fill::cleanFills(
        { options.cleanDir, options.recursive, options.inodes, options.dryRun }, hooks, report, &failedAt);
    int code = ExitDone;
    QString reason = QStringLiteral("cleaned");
    if (error) {
        say(failedAt.isEmpty() ? QFile::encodeName(options.cleanDir) : failedAt, platform::errorText(error));
        // A folder that cannot be read at all is a usage error; one of its subfolders, a failure.
        code = QFileInfo(options.cleanDir).isDir() ? ExitWriteError : ExitUsage;
        reason = QStringLiteral("error");
    } else if (!failed.isEmpty()) {
        code = ExitWriteError;
        reason = QStringLiteral("error");
    } else if (!inUse.isEmpty()) {
        code = ExitWriteError;
        reason = QStringLiteral("in use");
    }
    if (!listed) {
        // The list is what a script reads; one that could not be written is no success.
        print(err,
              QStringLiteral("tallowmere-fill: cannot write the list of what was %1\n")
                  .arg(options.dryRun ? QStringLiteral("found") : QStringLiteral("removed")));
        code = code == ExitDone ? ExitWriteError : code;
    }
    if (const int signal = stopSignals.first.load()) {
        code = exitCodeForSignal(signal);
        reason = QStringLiteral("interrupted");
        print(err,
              QStringLiteral("tallowmere-fill: interrupted: %1 %2 so far\n")
                  .arg(removed.size())
                  .arg(options.dryRun ? QStringLiteral("found") : QStringLiteral("removed")));
    }
    if (!options.json) {
        return code;
    }
    const QJsonObject summary {
        { QStringLiteral("version"), 1 },
        { QStringLiteral("reason"), reason },
        { QStringLiteral("exit_code"), code },
        { options.dryRun ? QStringLiteral("found") : QStringLiteral("removed"), removed },
        { QStringLiteral("failed"), failed },
        { QStringLiteral("in_use"), inUse },
        { QStringLiteral("dry_run"), options.dryRun },
    };
    if (!print(out, QJsonDocument(summary).toJson(QJsonDocument::Compact) + '\n')) {
        return code == ExitDone ? ExitWriteError : code;
    }
    return code;
}

} // namespace cli
