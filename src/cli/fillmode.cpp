#include "cli/fillmode.h"

#include "cli/fillcommand.h"
#include "cli/holdmode.h"
#include "core/commandenvironment.h"
#include "core/compression.h"
#include "core/fillengine.h"
#include "core/leavepolicy.h"
#include "platform/guardian.h"
#include "platform/outputfile.h"

#include <QFileInfo>
#include <QProcessEnvironment>

namespace cli {

namespace {

// The rounds a fill writes again when the reading it ended on is more than a unit above the floor.
constexpr int closingRounds = 4;

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
        // Where the system can, the file itself goes when the last handle closes, killed or not.
        file->setRemoveWhenClosed(needsGuardian(m_options));
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
            m_leave = leaveForPercent(*m_startSpace, m_options.leave->percent);
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
                if (m_options.usedPercent && m_leavePolicy && m_unit > m_startSpace->blockSize) {
                    m_leave = leaveForUseOnUnits(*m_startSpace, m_leave, m_unit, *m_options.usedPercent);
                    m_leavePolicy->setLeave(m_leave);
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
            if (!m_compressionChecked && m_startSpace && written >= fill::compressionCheckBytes) {
                m_compressionChecked = true;
                checkCompression(written, seconds);
            }
        };
        fill::SignalState& stopSignals = m_context.stopSignals;
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
        const auto drop = fill::compressionDrop(
            m_startSpace->fillable, written, [this] { return m_volume.space(); }, [this] { m_volume.settle(); });
        if (!drop) {
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
                            .arg(humanBytes(*drop), humanBytes(written)));
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
        const QProcessEnvironment environment
            = fill::commandEnvironment({ QFileInfo(m_options.path).absoluteFilePath(), m_summary.written,
                                         m_summary.available, std::nullopt, std::nullopt });
        bool takenOver = false;
        const auto topUp = [&] {
            // A file whose length another program changed (a command that emptied it, say) is no
            // longer the run's to extend: written on from where the run left it, it would start
            // with a hole instead of its header.
            if (const auto length = file.length(); takenOver || (length && *length != m_summary.written)) {
                if (!takenOver) {
                    takenOver = true;
                    // Left as it is, killed or not.
                    platform::guardian::forget();
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

int fillBytes(Context& context, const Volume& volume, bool stderrIsTerminal)
{
    return ByteFill(context, volume, stderrIsTerminal).run();
}

} // namespace cli
