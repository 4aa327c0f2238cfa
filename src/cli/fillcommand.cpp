#include "cli/fillcommand.h"

#include "fill/fillengine.h"
#include "fill/landing.h"
#include "platform/filesystem.h"
#include "platform/outputfile.h"
#include "productinfo.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <chrono>
#include <cmath>

namespace cli {

namespace {

constexpr qint64 KiB = 1024;
constexpr qint64 MiB = 1024 * KiB;
// Farther than this from the space to leave, runs go at full length; nearer, one block at a time.
constexpr qint64 leaveSlack = 4 * MiB;

qint64 roundUpToBlocks(qint64 bytes)
{
    const qint64 blocks = bytes / fill::blockSize + (bytes % fill::blockSize != 0);
    return std::max<qint64>(1, blocks) * fill::blockSize;
}

QString humanBytes(double bytes)
{
    const char* units[] = { "B", "KiB", "MiB", "GiB", "TiB", "PiB" };
    int unit = 0;
    while (std::fabs(bytes) >= 1024 && unit < 5) {
        bytes /= 1024;
        ++unit;
    }
    return unit == 0 ? QStringLiteral("%1 B").arg(static_cast<qint64>(bytes))
                     : QStringLiteral("%1 %2").arg(bytes, 0, 'f', 1).arg(QLatin1String(units[unit]));
}

QString duration(double seconds)
{
    if (!std::isfinite(seconds) || seconds < 0) {
        return QStringLiteral("--:--");
    }
    const auto total = static_cast<qint64>(seconds + 0.5);
    return total >= 3600 ? QStringLiteral("%1:%2:%3")
                               .arg(total / 3600)
                               .arg(total / 60 % 60, 2, 10, QLatin1Char('0'))
                               .arg(total % 60, 2, 10, QLatin1Char('0'))
                         : QStringLiteral("%1:%2").arg(total / 60).arg(total % 60, 2, 10, QLatin1Char('0'));
}

// False when the bytes did not reach the stream, with errno telling why.
bool print(std::FILE* stream, const QByteArray& bytes)
{
    const bool put = std::fputs(bytes.constData(), stream) >= 0;
    return std::fflush(stream) == 0 && put;
}

bool print(std::FILE* stream, const QString& text)
{
    return print(stream, text.toLocal8Bit());
}

struct Summary
{
    QString path;
    qint64 written = 0;
    qint64 available = -1; // -1: not known
    double seconds = 0;
    QString reason;
    int code = 0;
    QString error;
};

// Prints the summary as one JSON object and returns the exit code: a script reads this summary, so
// an empty or cut one must not pass for success.
int printJson(std::FILE* out, std::FILE* err, const Summary& summary)
{
    QJsonObject object {
        { QStringLiteral("path"), summary.path },
        { QStringLiteral("bytes_written"), summary.written },
        { QStringLiteral("bytes_available"), summary.available },
        { QStringLiteral("seconds"), summary.seconds },
        { QStringLiteral("reason"), summary.reason },
        { QStringLiteral("exit_code"), summary.code },
    };
    if (!summary.error.isEmpty()) {
        object.insert(QStringLiteral("error"), summary.error);
    }
    // JSON is UTF-8 whatever the system's code page: on Windows that would turn most names into "?".
    if (!print(out, QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n')) {
        const std::error_code why(errno, std::generic_category());
        print(err, QStringLiteral("tallowmere-fill: cannot write the summary: %1\n").arg(platform::errorText(why)));
        return summary.code == ExitDone ? ExitWriteError : summary.code;
    }
    return summary.code;
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

std::optional<qint64> parseSize(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral("^\\s*(\\d+(?:\\.\\d*)?|\\.\\d+)\\s*([kmgt](?:i?b)?)?\\s*$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    const double number = match.captured(1).toDouble();
    int power = 0;
    if (const QString unit = match.captured(2).toLower(); !unit.isEmpty()) {
        power = 1 + static_cast<int>(QStringLiteral("kmgt").indexOf(unit[0]));
    }
    const double bytes = std::ceil(number * std::pow(1024.0, power));
    if (!std::isfinite(bytes) || bytes >= 0x1p62) {
        return std::nullopt;
    }
    return static_cast<qint64>(bytes);
}

QString usage()
{
    return QStringLiteral("Usage: tallowmere-fill [options] PATH [SIZE]\n"
                          "\n"
                          "Creates the fill file PATH: a 1024-byte header block, then 1024-byte blocks of bytes 255.\n"
                          "With SIZE, the file is that large (rounded up to whole blocks, at least one block);\n"
                          "without it, the file grows until the volume holding PATH is full.\n"
                          "\n"
                          "SIZE is a number with an optional unit: K, KB or KiB (1024 bytes), M/MB/MiB, G/GB/GiB,\n"
                          "T/TB/TiB; every unit is a power of 1024, and a bare number counts bytes.\n"
                          "\n"
                          "Options:\n"
                          "  --leave SIZE    stop when only SIZE remains available on the volume (to the block)\n"
                          "  --leave N%      stop when only N percent of the volume remains available\n"
                          "  --force         overwrite PATH if it exists\n"
                          "  --quiet         no progress display\n"
                          "  --json          print the summary as one JSON object on standard output\n"
                          "  -h, --help      show this help\n"
                          "  --version       show the version\n"
                          "\n"
                          "Exit status: 0 done (target reached, or the volume filled when no size was given);\n"
                          "2 bad usage or the file cannot be created; 3 the volume filled before the size or the\n"
                          "space to leave was reached, or with both a SIZE and --leave, only the space to leave\n"
                          "remained before the size was reached (the file is kept); 4 a write failed for another\n"
                          "reason (the file is kept) or the --json summary could not be written; 130 interrupted (the\n"
                          "file is kept, whole blocks).\n"
                          "A PATH that begins with '-' goes after --.\n");
}

int refuseArguments(const QStringList& arguments, const QString& error, std::FILE* out, std::FILE* err)
{
    print(err, QStringLiteral("tallowmere-fill: %1\nTry 'tallowmere-fill --help'.\n").arg(error));
    // The arguments were not all read: look for --json among the options on its own.
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--")) {
            break;
        }
        if (arguments[i] == QLatin1String("--leave")) {
            ++i; // its value
        } else if (arguments[i] == QLatin1String("--json")) {
            return printJson(out, err,
                             { .path = {}, .reason = QStringLiteral("error"), .code = ExitUsage, .error = error });
        }
    }
    return ExitUsage;
}

QString versionText()
{
    return QStringLiteral("tallowmere-fill %1.%2.%3\n")
        .arg(ProductInfo::major)
        .arg(ProductInfo::minor)
        .arg(ProductInfo::revision);
}

std::optional<Options> parseArguments(const QStringList& arguments, QString* error)
{
    Options options;
    QStringList positional;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        // "-" alone is a name; anything else that starts with a dash is an option, so a mistyped
        // option is refused rather than taken for the file to fill the disk with.
        if (optionsEnded || !argument.startsWith(u'-') || argument == QLatin1String("-")) {
            positional.append(argument);
            continue;
        }
        if (argument == QLatin1String("--")) {
            optionsEnded = true;
        } else if (argument == QLatin1String("--force")) {
            options.force = true;
        } else if (argument == QLatin1String("--quiet")) {
            options.quiet = true;
        } else if (argument == QLatin1String("--json")) {
            options.json = true;
        } else if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            options.help = true;
        } else if (argument == QLatin1String("--version")) {
            options.version = true;
        } else if (argument == QLatin1String("--leave") || argument.startsWith(QLatin1String("--leave="))) {
            QString value;
            if (argument.startsWith(QLatin1String("--leave="))) {
                value = argument.mid(8);
            } else if (i + 1 < arguments.size()) {
                value = arguments[++i];
            } else {
                *error = QStringLiteral("--leave needs a size or a percentage");
                return std::nullopt;
            }
            Leave leave;
            if (value.trimmed().endsWith(u'%')) {
                bool ok = false;
                leave.percent = value.trimmed().chopped(1).toDouble(&ok);
                if (!ok || !(leave.percent >= 0 && leave.percent <= 100)) {
                    *error = QStringLiteral("bad percentage for --leave: %1").arg(value);
                    return std::nullopt;
                }
            } else if (const auto bytes = parseSize(value)) {
                leave.bytes = *bytes;
            } else {
                *error = QStringLiteral("bad size for --leave: %1").arg(value);
                return std::nullopt;
            }
            options.leave = leave;
        } else {
            *error = QStringLiteral("unknown option: %1 (a PATH that begins with '-' goes after --)").arg(argument);
            return std::nullopt;
        }
    }
    if (options.help || options.version) {
        return options;
    }
    if (positional.isEmpty() || positional.size() > 2) {
        *error = positional.isEmpty() ? QStringLiteral("no PATH given") : QStringLiteral("too many arguments");
        return std::nullopt;
    }
    options.path = positional[0];
    if (options.path.isEmpty()) {
        *error = QStringLiteral("PATH is empty");
        return std::nullopt;
    }
    if (positional.size() == 2) {
        const auto size = parseSize(positional[1]);
        if (!size) {
            *error = QStringLiteral("bad size: %1").arg(positional[1]);
            return std::nullopt;
        }
        options.size = roundUpToBlocks(*size);
    }
    return options;
}

int run(const Options& options, const std::atomic<bool>& stop, bool showProgress, std::FILE* out, std::FILE* err)
{
    const QString name = QStringLiteral("tallowmere-fill: ");
    // The space that counts is where the data lands: through a symbolic link, the target's volume.
    const auto landing = fill::landingFolder(options.path);
    const QString drive = landing ? landing->drive : QString();
    const QString dir = landing ? landing->dir : QString();
    const auto space = [&drive, &dir, known = landing.has_value()] {
        return known ? platform::volumeSpace(drive, dir) : std::nullopt;
    };
    const auto startSpace = space();

    // Refused before the run: with --json the script still gets its summary.
    const auto refuse = [&](const QString& why) {
        print(err, name + options.path + QStringLiteral(": ") + why + u'\n');
        if (!options.json) {
            return int(ExitUsage);
        }
        return printJson(out, err,
                         { .path = options.path,
                           .available = startSpace ? startSpace->available : -1,
                           .reason = QStringLiteral("error"),
                           .code = ExitUsage,
                           .error = why });
    };
    if (platform::fileExists(options.path) && !options.force) {
        return refuse(QStringLiteral("the file exists; use --force to overwrite it"));
    }

    qint64 leave = -1;
    if (options.leave) {
        if (!startSpace) {
            return refuse(QStringLiteral("cannot tell the free space of its volume"));
        }
        leave = options.leave->percent >= 0
            ? static_cast<qint64>(std::ceil(static_cast<double>(startSpace->total) * options.leave->percent / 100))
            : options.leave->bytes;
    }
    // What progress counts against: the size asked for, or what the volume had when filling.
    const qint64 goal = options.size ? *options.size
        : startSpace ? (leave >= 0 ? std::max<qint64>(0, startSpace->available - leave) : startSpace->fillable)
                     : 0;

    const auto started = std::chrono::steady_clock::now();
    auto lastShown = started;
    qint64 lastWritten = 0;
    bool progressShown = false;
    fill::Hooks hooks;
    hooks.pass = [&](qint64 position) {
        if (!showProgress) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        const double sinceShown = std::chrono::duration<double>(now - lastShown).count();
        if (sinceShown < 0.25) {
            return;
        }
        const qint64 written = position - 1;
        const double elapsed = secondsSince(started);
        const double average = elapsed > 0 ? written / elapsed : 0;
        const double current = (written - lastWritten) / sinceShown;
        const double percent = goal > 0 ? std::min(100.0, 100.0 * written / goal) : 0;
        const double eta = average > 0 && goal > written ? (goal - written) / average : 0;
        print(err,
              QStringLiteral("\r%1 written  %2 %  %3/s now  %4/s average  ETA %5   ")
                  .arg(humanBytes(written))
                  .arg(percent, 0, 'f', 1)
                  .arg(humanBytes(current), humanBytes(average), duration(eta)));
        progressShown = true;
        lastShown = now;
        lastWritten = written;
    };
    hooks.stopRequested = [&stop] { return stop.load(); };
    const auto settle = [&drive, &dir] { platform::settleVolume(drive, dir); };
    if (leave >= 0) {
        // Re-read the volume before every run, so other writers are accounted for. Near the end the
        // figure can lag behind what was written or freed (delayed allocation, a journal not yet
        // committed): settle the volume first, then write half of what may still go, so the last
        // runs close in on the space to leave in a few steps.
        hooks.runLimit = [&space, &settle, leave](qint64 written) -> qint64 {
            auto now = space();
            if (now && now->available - leave > leaveSlack) {
                return fill::fillTheDisk;
            }
            settle();
            now = space();
            if (!now) {
                return 0;
            }
            const qint64 margin = now->available - leave;
            if (margin > leaveSlack) {
                return fill::fillTheDisk;
            }
            const qint64 unit = std::max<qint64>(1, now->blockSize);
            auto allocated = [unit](qint64 bytes) { return (bytes + unit - 1) / unit * unit; };
            auto takes = [&](qint64 run) { return allocated(written + run) - allocated(written); };
            qint64 run = margin / 2 / fill::blockSize * fill::blockSize;
            if (run < fill::blockSize || takes(run) > margin) {
                run = fill::blockSize;
            }
            return takes(run) <= margin ? run : 0;
        };
    }

    const auto file = platform::makeOutputFile();
    fill::Engine engine(*file, hooks);
    const fill::Result result = engine.run(options.path, options.size ? *options.size : fill::fillTheDisk,
                                           options.force ? platform::Existing::Replace : platform::Existing::Refuse);
    const double seconds = secondsSince(started);
    qint64 written = result.bytesWritten;
    if (leave >= 0 && result.outcome == fill::Outcome::TargetReached) {
        // The last block may take more than it seemed (a new block of the file's extent tree, say):
        // give back whole blocks until the space to leave is free again, the header block kept.
        for (int attempt = 0; attempt < 64; ++attempt) {
            settle();
            const auto now = space();
            if (!now || now->available >= leave || written <= fill::blockSize) {
                break;
            }
            const qint64 shorter = std::max(fill::blockSize, written - roundUpToBlocks(leave - now->available));
            if (!QFile::resize(options.path, shorter)) {
                break;
            }
            written = shorter;
        }
    }
    const auto endSpace = space();
    const qint64 available = endSpace ? endSpace->available : -1;

    int code = ExitDone;
    QString reason;
    switch (result.outcome) {
    case fill::Outcome::TargetReached:
        if (options.size && written < *options.size) {
            // The space to leave came first: the size asked for was not reached.
            reason = QStringLiteral("space to leave reached before the size");
            code = ExitDiskFullEarly;
        } else {
            reason = QStringLiteral("target reached");
        }
        break;
    case fill::Outcome::Stopped:
        reason = QStringLiteral("interrupted");
        code = ExitInterrupted;
        break;
    case fill::Outcome::DiskFull:
        reason = QStringLiteral("disk full");
        code = options.size || leave >= 0 ? ExitDiskFullEarly : ExitDone;
        break;
    case fill::Outcome::WriteFailed:
        reason = QStringLiteral("error");
        code = ExitWriteError;
        break;
    case fill::Outcome::CreateFailed:
    case fill::Outcome::HeaderFailed:
        reason = QStringLiteral("error");
        code = ExitUsage;
        break;
    }
    const QString errorText = result.error ? platform::errorText(result.error) : QString();

    if (progressShown) {
        print(err, QStringLiteral("\n"));
    }
    // The header block is written whatever is to be left: say so when it alone took from that space
    // (it may take a whole allocation unit of the volume, more than its own 1024 bytes).
    if (leave >= 0 && startSpace && result.outcome == fill::Outcome::TargetReached && written <= fill::blockSize
        && (available >= 0 ? available < leave : startSpace->available - fill::blockSize < leave)) {
        print(err,
              name
                  + QStringLiteral("only %1 bytes were available, too few to leave %2 after the header block: wrote "
                                   "the header block only\n")
                        .arg(startSpace->available)
                        .arg(leave));
    }
    if (options.json) {
        return printJson(out, err,
                         { .path = options.path,
                           .written = written,
                           .available = available,
                           .seconds = seconds,
                           .reason = reason,
                           .code = code,
                           .error = errorText });
    }
    print(err,
          name
              + QStringLiteral("%1 bytes written to %2, %3 bytes left available, %4 s, %5%6\n")
                    .arg(written)
                    .arg(options.path)
                    .arg(available)
                    .arg(seconds, 0, 'f', 2)
                    .arg(reason, errorText.isEmpty() ? QString() : QStringLiteral(": ") + errorText));
    return code;
}

} // namespace cli
