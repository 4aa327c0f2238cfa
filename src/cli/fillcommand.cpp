#include "cli/fillcommand.h"

#include "cli/isolatedrun.h"
#include "cli/progress.h"
#include "core/leavepolicy.h"

#include "core/fillengine.h"
#include "core/pathparts.h"
#include "platform/filesystem.h"
#include "platform/fillfolder.h"
#include "platform/outputfile.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStorageInfo>

#include <chrono>
#include <cmath>
#include <optional>

namespace cli {

namespace {

// After this much is written, a volume whose free space fell by less than half of it compresses or
// deduplicates what it is given.
constexpr qint64 compressionCheckBytes = 256 * 1024 * 1024;
// The rounds a fill writes again when the reading it ended on is more than a unit above the floor.
constexpr int closingRounds = 4;

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

// The bytes to leave available so that df's Use% of the volume is at least percent: df counts
// used = total - free and shows used / (used + available), rounded up.
qint64 leaveForUse(const platform::VolumeSpace& space, double percent)
{
    const qint64 unit = std::max<qint64>(1, space.blockSize);
    const qint64 used = (space.total - space.free) / unit;
    const qint64 all = used + space.available / unit;
    const auto wanted = static_cast<qint64>(std::ceil(percent));
    // The fewest used blocks that show as wanted: 100 * used > (wanted - 1) * all.
    const qint64 fewest = static_cast<qint64>((static_cast<long double>(wanted - 1) * all) / 100) + 1;
    return std::max<qint64>(0, all - fewest) * unit;
}

QString fileSystemOf(const QString& dir)
{
    return QString::fromUtf8(QStorageInfo(dir.isEmpty() ? QStringLiteral(".") : dir).fileSystemType());
}

// The fill file as a hold releases it: one that another program took over is left as it is.
struct HeldFile
{
    platform::OutputFile& file;
    const bool& takenOver;

    void close() { file.close(); }
    std::error_code remove()
    {
        if (takenOver) {
            file.close();
            return platform::make_error_code(platform::FileError::TakenOver);
        }
        return file.remove();
    }
};

// Removes (or, with --keep, leaves) what a held run made; false with why when it could not.
template<typename Target> bool release(Target& target, bool keep, QString* why)
{
    if (keep) {
        target.close();
        return true;
    }
    if (const auto error = target.remove()) {
        *why = platform::errorText(error);
        return false;
    }
    return true;
}

struct Context
{
    const Options& options;
    SignalState& stopSignals;
    std::FILE* out;
    std::FILE* err;
    std::optional<Progress> progress;

    void say(const QString& text) const { print(err, QStringLiteral("tallowmere-fill: ") + text + u'\n'); }
    int finish(const Summary& summary) const
    {
        if (options.json) {
            return printJson(out, err, summary);
        }
        print(err, summary.toLine());
        return summary.code;
    }
};

// Holds what the fill made, as --run or --hold say, then removes it; the exit code of the whole.
template<typename Target>
int holdAndRelease(Context& context, Target& target, Summary& summary, const QProcessEnvironment& environment,
                   const std::function<void()>& topUp)
{
    const Options& options = context.options;
    if (!options.json) {
        print(context.err, summary.toLine());
    }
    Holder holder(context.stopSignals, options.topUp ? topUp : std::function<void()>());
    const HoldResult held
        = options.command.isEmpty() ? holder.hold(options.holdSeconds) : holder.run(options.command, environment);
    if (!held.error.isEmpty()) {
        context.say(held.error);
    }
    if (held.leftRunning) {
        context.say(QStringLiteral("%1 left processes running in its process group: they were ended before the "
                                   "volume was released")
                        .arg(options.command.first()));
    }
    summary.held = true;
    summary.heldSeconds = held.seconds;
    summary.commandExitCode = held.commandCode;
    if (held.commandCode) {
        summary.code = *held.commandCode;
    } else if (held.signal && options.holdSeconds) {
        // Cut short: the time asked for was not held.
        summary.code = exitCodeForSignal(held.signal);
    } else {
        summary.code = ExitDone;
    }
    QString why;
    summary.removed = release(target, options.keep, &why) && !options.keep;
    if (!options.keep && !summary.removed) {
        context.say(summary.path + QStringLiteral(": cannot remove the fill file: ") + why);
        summary.error = why;
        summary.code = ExitNotRemoved;
    }
    if (options.json) {
        return printJson(context.out, context.err, summary);
    }
    if (options.command.isEmpty()) {
        context.say(QStringLiteral("held %1 s%2")
                        .arg(held.seconds, 0, 'f', 2)
                        .arg(summary.removed ? QStringLiteral(", fill removed") : QString()));
    }
    return summary.code;
}

int clean(const Options& options, SignalState& stopSignals, std::FILE* out, std::FILE* err)
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
    const auto report = [&](const platform::CleanedFill& fill) {
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
    platform::CleanHooks hooks;
    hooks.stopRequested = [&stopSignals] { return stopSignals.first.load() != 0; };
    QByteArray failedAt;
    const std::error_code error
        = platform::cleanFills({ options.cleanDir, options.recursive, options.inodes, options.dryRun },
                               { fill::headerBlock(), fill::headerText() }, hooks, report, &failedAt);
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
    // The folder and its marker take an inode each.
    const bool unknown = summary.inodesAvailableBefore < 0;
    if (options.leaveInodes && (unknown || summary.inodesAvailableBefore - 2 < *options.leaveInodes)) {
        // Nothing is made: the volume is as it was.
        summary.available = summary.availableBefore;
        summary.inodesAvailable = summary.inodesAvailableBefore;
        return unknown ? refuse(QStringLiteral("cannot tell the inodes available on its volume"))
                       : refuse(QStringLiteral("only %1 inodes are available, too few to leave %2 after the folder "
                                               "and its marker: nothing was made")
                                    .arg(summary.inodesAvailableBefore)
                                    .arg(*options.leaveInodes),
                                QStringLiteral("space to leave already reached"), ExitDiskFullEarly);
    }
    if (const auto error = folder.create(options.path, fill::headerText())) {
        return refuse(platform::errorText(error));
    }

    // Empty files until one cannot be made; near the files to leave, the count is read again often.
    fill::Outcome outcome = fill::Outcome::TargetReached;
    bool quota = false;
    std::error_code failure;
    const auto fillUp = [&] {
        qint64 beforeCheck = 0;
        for (;;) {
            if (context.stopSignals.first.load() != 0) {
                return fill::Outcome::Stopped;
            }
            if (options.leaveInodes && beforeCheck-- <= 0) {
                const auto available = folder.inodesAvailable();
                if (!available || *available <= *options.leaveInodes) {
                    return fill::Outcome::TargetReached;
                }
                beforeCheck = std::max<qint64>(0, (*available - *options.leaveInodes) / 2 - 1);
            }
            if (const auto error = folder.addFile()) {
                if (platform::isOutOfSpace(error)) {
                    quota = platform::isQuotaExceeded(error);
                    return fill::Outcome::DiskFull;
                }
                failure = error;
                return fill::Outcome::WriteFailed;
            }
            if (context.progress && folder.files() % 256 == 0) {
                context.progress->update(folder.files(), secondsSince(started));
            }
        }
    };
    outcome = fillUp();
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
    summary.error = failure ? platform::errorText(failure) : QString();

    if (!options.holds()) {
        folder.close();
        return context.finish(summary);
    }
    if (summary.code != ExitDone) {
        QString why;
        summary.removed = release(folder, options.keep, &why);
        return context.finish(summary);
    }
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("TALLOWMERE_FILL_FILE"), QFileInfo(options.path).absoluteFilePath());
    environment.insert(QStringLiteral("TALLOWMERE_FILL_BYTES"), QStringLiteral("0"));
    environment.insert(QStringLiteral("TALLOWMERE_FILL_INODES"), QString::number(folder.files()));
    environment.insert(QStringLiteral("TALLOWMERE_AVAILABLE_BYTES"), QString::number(summary.available));
    environment.insert(QStringLiteral("TALLOWMERE_AVAILABLE_INODES"), QString::number(summary.inodesAvailable));
    const auto topUp = [&] {
        const auto now = folder.inodesAvailable();
        if (now && *now > (options.leaveInodes ? *options.leaveInodes : 0)) {
            const qint64 had = folder.files();
            fillUp();
            summary.toppedUp += folder.files() - had;
            summary.inodesCreated = folder.files();
        }
    };
    return holdAndRelease(context, folder, summary, environment, topUp);
}

// The volume a fill lands on.
struct Volume
{
    QString drive;
    QString dir;
    bool known = false; // false: where the data lands cannot be told

    std::optional<platform::VolumeSpace> space() const
    {
        return known ? platform::volumeSpace(drive, dir) : std::nullopt;
    }
    void settle() const { platform::settleVolume(drive, dir); }
};

// A fill of bytes into one file, as the options say: checked before anything is made, written, then
// reported, or held with a command run under it.
class ByteFill
{
public:
    ByteFill(Context& context, const Volume& volume, bool stderrIsTerminal)
        : m_context(context)
        , m_options(context.options)
        , m_volume(volume)
        , m_stderrIsTerminal(stderrIsTerminal)
        , m_startSpace(volume.space())
    {
        m_summary.path = m_options.path;
        m_summary.fileSystem = fileSystemOf(volume.dir);
        m_summary.availableBefore = m_startSpace ? m_startSpace->available : -1;
        m_summary.data = m_options.data == fill::Data::Random ? QStringLiteral("random") : QStringLiteral("ones");
        m_summary.method = m_options.allocate ? QStringLiteral("allocate") : QStringLiteral("write");
    }

    int run()
    {
        if (const auto refused = checkBeforeTheRun()) {
            return *refused;
        }
        if (const auto style = progressStyle(m_options, m_stderrIsTerminal)) {
            m_context.progress.emplace(*style, goal(), m_context.err);
        }
        const auto file = platform::makeOutputFile();
        fill::Engine engine(*file, hooks(*file));
        engine.setData(m_options.data);
        engine.setAllocate(m_options.allocate);
        const auto existing = m_options.force ? platform::Existing::Replace : platform::Existing::Refuse;
        m_started = std::chrono::steady_clock::now();
        m_file = file.get();
        fill::Result result = engine.start(m_options.path, existing);
        if (result.outcome == fill::Outcome::TargetReached) {
            result = engine.fill(target());
            closeIn(engine, result);
            // Held, the file stays open, to be topped up and removed through its handle.
            if (!m_options.holds()) {
                engine.close(result);
            }
        }
        m_filling = false;
        report(result);
        if (!m_options.holds()) {
            return m_context.finish(m_summary);
        }
        return hold(engine, *file, result);
    }

private:
    qint64 target() const { return m_options.size ? *m_options.size : fill::fillTheDisk; }

    // What progress counts against: the size asked for, or what the volume had when filling.
    qint64 goal() const
    {
        if (m_options.size) {
            return *m_options.size;
        }
        if (!m_startSpace) {
            return 0;
        }
        return m_leave >= 0 ? std::max<qint64>(0, m_startSpace->available - m_leave) : m_startSpace->fillable;
    }

    // Refused before the run, with --json the script still gets its summary. The exit code when refused.
    std::optional<int> checkBeforeTheRun()
    {
        const bool exists = platform::fileExists(m_options.path);
        if (exists && !m_options.force) {
            return refuse(QStringLiteral("the file exists; use --force to overwrite it"));
        }
        if (!m_options.leave && !m_options.usedPercent) {
            return std::nullopt;
        }
        if (!m_startSpace) {
            return refuse(QStringLiteral("cannot tell the free space of its volume"));
        }
        if (m_options.usedPercent) {
            m_leave = leaveForUse(*m_startSpace, *m_options.usedPercent);
        } else if (m_options.leave->percent >= 0) {
            m_leave = static_cast<qint64>(
                std::ceil(static_cast<double>(m_startSpace->total) * m_options.leave->percent / 100));
        } else {
            m_leave = m_options.leave->bytes;
        }
        m_leavePolicy.emplace(
            m_leave, [this] { return space(); }, [this](qint64 length) { settle(length); });
        // A file to be overwritten gives its space back when it is emptied.
        const qint64 room = m_startSpace->available + (exists ? QFileInfo(m_options.path).size() : 0);
        if (m_leavePolicy->headerBreaksTheFloor(*m_startSpace, room)) {
            return refuse(QStringLiteral("only %1 bytes are available, too few to leave %2 after the header block: "
                                         "nothing was written")
                              .arg(m_startSpace->available)
                              .arg(m_leave),
                          QStringLiteral("space to leave already reached"), ExitDiskFullEarly);
        }
        return std::nullopt;
    }

    int refuse(const QString& why, const QString& reason = QStringLiteral("error"), int code = ExitUsage)
    {
        m_context.say(m_options.path + QStringLiteral(": ") + why);
        m_summary.available = m_summary.availableBefore;
        m_summary.reason = reason;
        m_summary.code = code;
        m_summary.error = why;
        return m_options.json ? printJson(m_context.out, m_context.err, m_summary) : code;
    }

    // The volume now, its allocation unit no smaller than what the fill file's header block took:
    // a volume that allocates clusters of several blocks (ext4 with bigalloc) says only its block.
    std::optional<platform::VolumeSpace> space() const
    {
        auto now = m_volume.space();
        if (now) {
            now->blockSize = std::max(now->blockSize, m_unit);
        }
        return now;
    }

    // Has the volume count what the run took. What the file holds beyond its end is given back
    // first: XFS takes space ahead of a growing file and gives it back only when the file is closed.
    void settle(qint64 length) const
    {
        if (m_file) {
            m_file->truncate(length);
        }
        m_volume.settle();
    }

    // Whether the floor was met is for the settled reading the fill ended on to say, taken through
    // the open file before the close (the one it stopped on, or the one after its last cut): space
    // that another program frees afterwards is no miss of the run's. A reading more than a unit above
    // the floor (a cut gave back more than it was asked to, or another program freed space while it
    // was made) is closed in on again, for a few rounds.
    void closeIn(fill::Engine& engine, fill::Result& result)
    {
        for (int round = 0; m_leavePolicy && result.outcome == fill::Outcome::TargetReached; ++round) {
            const auto now = m_leavePolicy->endReading(result.bytesWritten);
            if (!now) {
                m_reached = -1;
                return;
            }
            m_reached = now->available;
            if (now->available < m_leave + now->blockSize || (m_options.size && result.bytesWritten >= *m_options.size)
                || round == closingRounds) {
                return;
            }
            result = engine.fill(target());
        }
    }

    fill::Hooks hooks(platform::OutputFile& file)
    {
        fill::Hooks hooks;
        hooks.pass = [this, &file](qint64 position) {
            if (m_unit == 0) {
                // Before the first run, the file holds its header block alone: it takes one unit.
                m_unit = std::max<qint64>(1, file.allocatedBytes().value_or(1));
                // df shows the percent at most that much available; the volume takes whole units,
                // unless a unit more would show a higher percent.
                if (m_options.usedPercent && m_leavePolicy && m_unit > m_startSpace->blockSize) {
                    const qint64 take = m_startSpace->available - m_leave;
                    const qint64 onUnits = m_startSpace->available - (take + m_unit - 1) / m_unit * m_unit;
                    if (*m_options.usedPercent > 99
                        || onUnits > leaveForUse(*m_startSpace, *m_options.usedPercent + 1)) {
                        m_leave = onUnits;
                        m_leavePolicy->setLeave(m_leave);
                    }
                }
            }
            if (!m_filling) {
                return;
            }
            const qint64 written = position - 1;
            const double seconds = secondsSince(m_started);
            if (m_context.progress) {
                m_context.progress->update(written, seconds);
            }
            if (!m_compressionChecked && m_startSpace && written >= compressionCheckBytes) {
                m_compressionChecked = true;
                checkCompression(written, seconds);
            }
        };
        SignalState& stopSignals = m_context.stopSignals;
        hooks.stopRequested = [&stopSignals] { return stopSignals.first.load() != 0; };
        if (m_leavePolicy) {
            hooks.runLimit = [this](qint64 written) { return m_leavePolicy->runLimit(written); };
            hooks.trimTo = [this](qint64 length) { return m_leavePolicy->trimTo(length); };
        }
        return hooks;
    }

    // Said once: a volume that compresses or deduplicates the fill takes many times its size.
    void checkCompression(qint64 written, double seconds)
    {
        const auto fell = [&] {
            const auto now = m_volume.space();
            return now ? m_startSpace->fillable - now->fillable : written;
        };
        qint64 drop = fell();
        // Some volumes (btrfs) count what was written only once it is on the disk.
        if (drop < written / 2) {
            m_volume.settle();
            drop = fell();
        }
        if (drop >= written / 2) {
            return;
        }
        m_summary.compressing = true;
        if (m_context.progress) {
            m_context.progress->finish(written, seconds);
        }
        m_context.say(m_options.path
                      + QStringLiteral(": the volume's free space fell by %1 for %2 written: it compresses or "
                                       "deduplicates the fill, which may take many times its size (--data random "
                                       "avoids that)")
                            .arg(humanBytes(drop), humanBytes(written)));
    }

    // The summary of the fill.
    void report(const fill::Result& result)
    {
        if (m_context.progress) {
            m_context.progress->finish(result.bytesWritten, secondsSince(m_started));
        }
        m_summary.seconds = secondsSince(m_started);
        m_summary.written = result.bytesWritten;
        m_summary.allocated = result.bytesAllocated;
        const auto endSpace = space();
        m_summary.available = endSpace ? endSpace->available : -1;
        // A size too small for one reservation is written: the method says what was done.
        m_summary.method = result.bytesAllocated > 0 ? QStringLiteral("allocate") : QStringLiteral("write");
        if (m_options.allocate && result.allocationError) {
            m_context.say(m_options.path
                          + QStringLiteral(": the volume cannot reserve space (%1): the fill is written instead")
                                .arg(platform::errorText(result.allocationError)));
        }
        const Verdict verdict = verdictFor({ result.outcome, result.quotaFull, m_context.stopSignals.first.load(),
                                             result.bytesWritten, m_options.size, m_leave, m_summary.available,
                                             endSpace ? endSpace->blockSize : 0, m_reached });
        m_summary.reason = verdict.reason;
        m_summary.code = verdict.code;
        m_summary.error = result.error ? platform::errorText(result.error) : QString();
        if (m_summary.reason == QLatin1String("space to leave not kept")) {
            // Others may have taken the space after the fill: the file need not be down to its header block.
            m_context.say(
                QStringLiteral("only %1 bytes are available, less than the %2 to leave; the file holds %3 bytes")
                    .arg(m_summary.available)
                    .arg(m_leave)
                    .arg(m_summary.written));
        } else if (m_summary.reason == QLatin1String("space to leave missed")) {
            const qint64 reached = m_reached >= 0 ? m_reached : m_summary.available;
            m_context.say(
                QStringLiteral("%1 bytes were available, %2 more than the %3 to leave: the volume could not be "
                               "brought nearer (it gives back space late, or not in proportion when a file "
                               "is cut back)")
                    .arg(reached)
                    .arg(reached - m_leave)
                    .arg(m_leave));
        }
    }

    // A fill that did not do what was asked is not held, and what it made is removed.
    int hold(fill::Engine& engine, platform::OutputFile& file, const fill::Result& result)
    {
        const bool made
            = result.outcome != fill::Outcome::CreateFailed && result.outcome != fill::Outcome::HeaderFailed;
        if (m_summary.code != ExitDone) {
            if (made) {
                QString why;
                m_summary.removed = release(file, m_options.keep, &why) && !m_options.keep;
            }
            return m_context.finish(m_summary);
        }
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("TALLOWMERE_FILL_FILE"), QFileInfo(m_options.path).absoluteFilePath());
        environment.insert(QStringLiteral("TALLOWMERE_FILL_BYTES"), QString::number(m_summary.written));
        environment.insert(QStringLiteral("TALLOWMERE_AVAILABLE_BYTES"), QString::number(m_summary.available));
        bool takenOver = false;
        const auto topUp = [&] {
            // A file whose length another program changed (a command that emptied it, say) is no
            // longer the run's to extend: written on from where the run left it, it would start
            // with a hole instead of its header.
            if (const auto length = file.length(); takenOver || (length && *length != m_summary.written)) {
                if (!takenOver) {
                    takenOver = true;
                    m_summary.error = platform::errorText(make_error_code(platform::FileError::TakenOver));
                    m_context.say(QStringLiteral("%1: its length changed from %2 to %3 while it was held: no more "
                                                 "top-ups, and it is left as it is")
                                      .arg(m_options.path)
                                      .arg(m_summary.written)
                                      .arg(*length));
                }
                return;
            }
            const auto now = m_volume.space();
            if (!now || (m_leave >= 0 ? now->available - m_leave : now->fillable) < fill::blockSize) {
                return;
            }
            const fill::Result more = engine.fill(target());
            m_summary.toppedUp += more.bytesWritten - m_summary.written;
            m_summary.written = more.bytesWritten;
        };
        HeldFile held { file, takenOver };
        return holdAndRelease(m_context, held, m_summary, environment, topUp);
    }

    Context& m_context;
    const Options& m_options;
    const Volume m_volume;
    const bool m_stderrIsTerminal;
    const std::optional<platform::VolumeSpace> m_startSpace;
    Summary m_summary;
    std::optional<LeavePolicy> m_leavePolicy;
    qint64 m_leave = -1;
    std::chrono::steady_clock::time_point m_started = std::chrono::steady_clock::now();
    bool m_filling = true;
    bool m_compressionChecked = false;
    qint64 m_unit = 0; // what the header block alone took on the volume; 0 until known
    platform::OutputFile* m_file = nullptr; // the fill file, once the run has one
    qint64 m_reached = -1; // available at the reading the fill ended on, the file open; -1: none
};

} // namespace

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

int run(const Options& options, SignalState& stopSignals, bool stderrIsTerminal, std::FILE* out, std::FILE* err)
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
    if (options.inodes) {
        if (const auto style = progressStyle(options, stderrIsTerminal)) {
            const auto space = volume.space();
            context.progress.emplace(*style, space ? std::max<qint64>(0, space->inodesAvailable) : 0, err,
                                     Progress::Unit::Files);
        }
        return fillInodes(context, volume.drive, volume.dir);
    }
    return ByteFill(context, volume, stderrIsTerminal).run();
}

} // namespace cli
