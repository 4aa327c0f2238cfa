#include "cli/options.h"

#include "cli/isolatemessages.h"
#include "platform/isolate.h"
#include "productinfo.h"

#include <QCommandLineParser>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace cli {

namespace {

qint64 roundUpToBlocks(qint64 bytes)
{
    const qint64 blocks = bytes / fill::blockSize + (bytes % fill::blockSize != 0);
    return std::max<qint64>(1, blocks) * fill::blockSize;
}

// A number from 0 to 100 with an optional % sign; below 0 when it is not one.
double parsePercent(const QString& text, bool signRequired)
{
    QString number = text.trimmed();
    if (number.endsWith(u'%')) {
        number.chop(1);
    } else if (signRequired) {
        return -1;
    }
    bool ok = false;
    const double percent = number.toDouble(&ok);
    return ok && percent >= 0 && percent <= 100 ? percent : -1;
}

// The options that take a value: their values are not options, wherever they stand.
const QStringList valueOptions { QStringLiteral("--leave"),    QStringLiteral("--used"),
                                 QStringLiteral("--progress"), QStringLiteral("--data"),
                                 QStringLiteral("--clean"),    QStringLiteral("--leave-inodes"),
                                 QStringLiteral("--isolate") };

struct Parser
{
    QCommandLineParser parser;
    QCommandLineOption help = parser.addHelpOption();
    QCommandLineOption version = parser.addVersionOption();
    QCommandLineOption leave { QStringLiteral("leave"),
                               QStringLiteral("Stop when only SIZE, or N percent of the volume, remains available "
                                              "(to the block)."),
                               QStringLiteral("SIZE|N%") };
    QCommandLineOption used { QStringLiteral("used"),
                              QStringLiteral("Fill until df shows the volume N percent used (its Use%)."),
                              QStringLiteral("N%") };
    QCommandLineOption force { QStringLiteral("force"), QStringLiteral("Overwrite PATH if it exists.") };
    QCommandLineOption quiet { QStringLiteral("quiet"), QStringLiteral("No progress display.") };
    QCommandLineOption json { QStringLiteral("json"),
                              QStringLiteral("Print the summary as one JSON object on standard output.") };
    QCommandLineOption progress { QStringLiteral("progress"),
                                  QStringLiteral("Progress on standard error: text, json (one object a line, "
                                                 "about four a second) or none. Default: text on a terminal."),
                                  QStringLiteral("STYLE") };
    QCommandLineOption data { QStringLiteral("data"),
                              QStringLiteral("What the blocks after the header hold: ones (bytes of 255, the "
                                             "default) or random (for compressing volumes)."),
                              QStringLiteral("KIND") };
    QCommandLineOption allocate { QStringLiteral("allocate"),
                                  QStringLiteral("Reserve the space with fallocate instead of writing it, then "
                                                 "write the last blocks: a full volume in seconds. The reserved "
                                                 "part reads as zeros.") };
    QCommandLineOption hold { QStringLiteral("hold"),
                              QStringLiteral("Keep the volume full for DURATION (90, 90s, 5m, 2h; alone: until "
                                             "SIGINT, SIGTERM or SIGHUP), then delete the fill file."),
                              QStringLiteral("DURATION") };
    QCommandLineOption run { QStringLiteral("run"),
                             QStringLiteral("Run COMMAND [ARGS...] (everything after --run) while the volume is "
                                            "full, in a process group of its own that gets the signals the filler "
                                            "gets; then end what it left running, delete the fill file and exit "
                                            "with COMMAND's code.") };
    QCommandLineOption keep { QStringLiteral("keep"),
                              QStringLiteral("With --run or --hold: leave the fill file in place afterwards.") };
    QCommandLineOption topUp { QStringLiteral("top-up"),
                               QStringLiteral("With --run or --hold: write again whatever space frees up.") };
    QCommandLineOption inodes { QStringLiteral("inodes"),
                                QStringLiteral("Make a new folder at PATH and fill it with empty files until the "
                                               "volume has no inode left.") };
    QCommandLineOption leaveInodes { QStringLiteral("leave-inodes"),
                                     QStringLiteral("With --inodes: stop N inodes short."), QStringLiteral("N") };
    QCommandLineOption clean { QStringLiteral("clean"),
                               QStringLiteral("Remove the fill files that killed runs left in DIR (with "
                                              "--inodes, also their folders), printing each path. A file counts "
                                              "only if its header block, length and sampled blocks are a fill's; "
                                              "one a running fill holds is left alone, named as in use."),
                               QStringLiteral("DIR") };
    QCommandLineOption isolate { QStringLiteral("isolate"),
                                 QStringLiteral(
                                     "With --run: COMMAND alone sees DIR full, with SIZE of --leave (default "
                                     "0) left, or with --inodes N more files. What it writes goes to a "
                                     "layer in memory over DIR, and is gone when it ends: nothing reaches "
                                     "DIR, and other programs see DIR as it is. Linux; see below."),
                                 QStringLiteral("DIR") };
    QCommandLineOption recursive { QStringLiteral("recursive"),
                                   QStringLiteral("With --clean: also in subfolders, never leaving DIR's "
                                                  "volume.") };
    QCommandLineOption dryRun { QStringLiteral("dry-run"), QStringLiteral("With --clean: only list them.") };

    Parser()
    {
        parser.setApplicationDescription(
            QStringLiteral("Creates the fill file PATH: a 1024-byte header block, then 1024-byte blocks of bytes 255.\n"
                           "With SIZE, the file is that large (rounded up to whole blocks, at least one block);\n"
                           "without it, the file grows until the volume holding PATH is full."));
        parser.addOptions({ leave, used, force, quiet, json, progress, data, allocate, hold, run, keep, topUp, inodes,
                            leaveInodes, isolate, clean, recursive, dryRun });
        parser.addPositionalArgument(QStringLiteral("PATH"),
                                     QStringLiteral("The fill file (with --inodes, the folder)."));
        parser.addPositionalArgument(QStringLiteral("SIZE"),
                                     QStringLiteral("Its size: a number with an optional unit K, KB or KiB (1024 "
                                                    "bytes), M/MB/MiB, G/GB/GiB, T/TB/TiB; a bare number counts "
                                                    "bytes. 0 is refused."),
                                     QStringLiteral("[SIZE]"));
    }
};

// Beyond a few centuries a duration is a mistake, and would overflow the clock.
constexpr double longestDuration = 1e10;

// The seconds a text that reads as a duration stands for, however many; nothing for other text.
std::optional<double> durationSeconds(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral("^\\s*(\\d+(?:\\.\\d*)?|\\.\\d+)\\s*([smhd]?)\\s*$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    const QString unit = match.captured(2);
    const double scale = unit == u'm' ? 60 : unit == u'h' ? 3600 : unit == u'd' ? 86400 : 1;
    return match.captured(1).toDouble() * scale;
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

std::optional<double> parseDuration(const QString& text)
{
    const auto seconds = durationSeconds(text);
    if (!seconds || !std::isfinite(*seconds) || *seconds > longestDuration) {
        return std::nullopt;
    }
    return seconds;
}

QString usage()
{
    Parser parser;
    QString text = parser.parser.helpText();
    // The first line names the program as it was started; the usage lines are ours.
    text = text.mid(text.indexOf(u'\n') + 1);
    return QStringLiteral("Usage: tallowmere-fill [options] PATH [SIZE]\n"
                          "  or:  tallowmere-fill [options] PATH [SIZE] --run COMMAND [ARGS...]\n"
                          "  or:  tallowmere-fill --isolate DIR [--leave SIZE] [--inodes [--leave-inodes N]] --run "
                          "COMMAND [ARGS...]\n"
                          "  or:  tallowmere-fill --clean DIR [--recursive] [--dry-run] [--inodes]\n")
        + text
        + QStringLiteral(
               "\n"
               "Exit status: 0 done (target reached, or the volume or quota filled when no size was given);\n"
               "2 bad usage, the file cannot be created, or DIR cannot be isolated; 3 the volume filled before the\n"
               "size or the space to leave was reached, or the space to leave cannot be kept, or not met within\n"
               "one allocation unit; 4 a write failed for another reason, the --json summary or --clean's list\n"
               "could not be written, --clean left something: a fill it could not remove, or one in use by a\n"
               "running fill, or --keep could not copy all of an isolated run's layer; 5 the fill file could not\n"
               "be removed after --run or --hold, or another program changed it while held; 129, 130, 131 a\n"
               "signal ended the fill or the clean-up (SIGHUP, SIGINT or SIGTERM, SIGQUIT).\n"
               "With --run: COMMAND's exit code, 128 + N when signal N ended it, 127 when it cannot be found,\n"
               "126 when it cannot be started (a script without a #! line is run by /bin/sh).\n"
               "A SIGHUP ignored when the filler started (under nohup) stays ignored, also for COMMAND.\n"
               "A PATH that begins with '-' goes after --. After --hold, an argument that reads as a duration is\n"
               "taken for one (at most 10000000000 seconds): give SIZE before --hold, or write --hold=DURATION.\n"
               "\n"
               "--isolate DIR --run COMMAND writes nothing: COMMAND runs as the same user, with the same ids and\n"
               "environment plus TALLOWMERE_ISOLATED=1, and exits, forwards signals and cleans up as with --run;\n"
               "what it started outside its process group is ended too, as the layer goes.\n"
               "The space left (SIZE, rounded up to whole pages of 4 KiB) is memory. Where it differs from a really\n"
               "full disk: a file of DIR that COMMAND changes is first copied whole into the layer (appending to a\n"
               "file larger than the space left fails at once); folders and short links take no space; df shows the\n"
               "layer's size and Use%, only the space available is real; with --inodes, a folder of DIR written\n"
               "into and a file of DIR removed take an inode each; renaming a folder of DIR fails (EXDEV); device\n"
               "and inode numbers differ; other programs see DIR as it is; a symbolic link in DIR that leads out\n"
               "of it, or another name of DIR (a bind mount), leads past the layer. As root, volumes mounted below\n"
               "DIR lie under the same layer. An ordinary user must own DIR, cannot isolate a folder with a volume\n"
               "mounted below it, sees other users' files and their own other groups as nobody's (65534) and cannot\n"
               "change those files (EOVERFLOW).\n");
}

QString versionText()
{
    return QStringLiteral("tallowmere-fill %1.%2.%3\n")
        .arg(ProductInfo::major)
        .arg(ProductInfo::minor)
        .arg(ProductInfo::revision);
}

bool asksForJson(const QStringList& arguments)
{
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QLatin1String("--") || argument == QLatin1String("--run")) {
            return false;
        }
        if (valueOptions.contains(argument)) {
            ++i; // its value
        } else if (argument == QLatin1String("--json")) {
            return true;
        }
    }
    return false;
}

std::optional<Options> parseArguments(const QStringList& arguments, QString* error)
{
    auto refuse = [error](const QString& why) {
        *error = why;
        return std::nullopt;
    };
    Options options;
    // Everything after --run is the command, options of its own included. QCommandLineParser has no
    // option with an optional value: --hold takes the next argument only if it reads as a duration.
    QStringList own { QStringLiteral("tallowmere-fill") };
    bool optionsEnded = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (optionsEnded) {
            own.append(argument);
        } else if (argument == QLatin1String("--run")) {
            options.command = arguments.mid(i + 1);
            if (options.command.isEmpty() || options.command.first().isEmpty()) {
                return refuse(QStringLiteral("--run needs a COMMAND"));
            }
            break;
        } else if (argument == QLatin1String("--hold")) {
            // One too long for a duration is refused as one, not taken for a SIZE.
            const bool withDuration = i + 1 < arguments.size() && durationSeconds(arguments[i + 1]);
            own.append(QStringLiteral("--hold=") + (withDuration ? arguments[++i] : QString()));
        } else {
            optionsEnded = argument == QLatin1String("--");
            own.append(argument);
            if (valueOptions.contains(argument) && i + 1 < arguments.size()) {
                own.append(arguments[++i]);
            }
        }
    }

    Parser p;
    QCommandLineParser& parser = p.parser;
    if (!parser.parse(own)) {
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty()) {
            const QString& name = unknown.first();
            return refuse(QStringLiteral("unknown option: %1%2 (a PATH that begins with '-' goes after --)")
                              .arg(name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--"), name));
        }
        return refuse(parser.errorText());
    }
    options.help = parser.isSet(p.help);
    options.version = parser.isSet(p.version);
    if (options.help || options.version) {
        return options;
    }
    options.force = parser.isSet(p.force);
    options.quiet = parser.isSet(p.quiet);
    options.json = parser.isSet(p.json);
    options.allocate = parser.isSet(p.allocate);
    options.keep = parser.isSet(p.keep);
    options.topUp = parser.isSet(p.topUp);
    options.inodes = parser.isSet(p.inodes);
    options.recursive = parser.isSet(p.recursive);
    options.dryRun = parser.isSet(p.dryRun);
    if (parser.isSet(p.run)) {
        return refuse(QStringLiteral("--run needs a COMMAND"));
    }

    if (parser.isSet(p.progress)) {
        const QString style = parser.value(p.progress);
        if (style == QLatin1String("text")) {
            options.progress = ProgressStyle::Text;
        } else if (style == QLatin1String("json")) {
            options.progress = ProgressStyle::Json;
        } else if (style == QLatin1String("none")) {
            options.progress = ProgressStyle::None;
        } else {
            return refuse(QStringLiteral("--progress is text, json or none, not %1").arg(style));
        }
    }
    if (parser.isSet(p.data)) {
        const QString kind = parser.value(p.data);
        if (kind == QLatin1String("random")) {
            options.data = fill::Data::Random;
        } else if (kind != QLatin1String("ones")) {
            return refuse(QStringLiteral("--data is ones or random, not %1").arg(kind));
        }
    }
    if (parser.isSet(p.leave)) {
        const QString value = parser.value(p.leave);
        Leave leave;
        if (value.trimmed().endsWith(u'%')) {
            leave.percent = parsePercent(value, true);
            if (leave.percent < 0) {
                return refuse(QStringLiteral("bad percentage for --leave: %1").arg(value));
            }
        } else if (const auto bytes = parseSize(value)) {
            leave.bytes = *bytes;
        } else {
            return refuse(QStringLiteral("bad size for --leave: %1").arg(value));
        }
        options.leave = leave;
    }
    if (parser.isSet(p.used)) {
        const double percent = parsePercent(parser.value(p.used), false);
        if (!(percent > 0)) {
            return refuse(
                QStringLiteral("bad percentage for --used: %1 (more than 0, at most 100)").arg(parser.value(p.used)));
        }
        options.usedPercent = percent;
    }
    if (parser.isSet(p.hold)) {
        options.hold = true;
        if (const QString value = parser.value(p.hold); !value.isEmpty()) {
            options.holdSeconds = parseDuration(value);
            if (!options.holdSeconds && durationSeconds(value)) {
                return refuse(QStringLiteral("--hold %1 is too long: at most %2 seconds (about 300 years)")
                                  .arg(value)
                                  .arg(longestDuration, 0, 'f', 0));
            }
            if (!options.holdSeconds) {
                return refuse(QStringLiteral("bad duration for --hold: %1 (90, 90s, 5m, 2h)").arg(value));
            }
        }
    }
    if (parser.isSet(p.leaveInodes)) {
        bool ok = false;
        const qint64 count = parser.value(p.leaveInodes).toLongLong(&ok);
        if (!ok || count < 0) {
            return refuse(QStringLiteral("bad number for --leave-inodes: %1").arg(parser.value(p.leaveInodes)));
        }
        options.leaveInodes = count;
    }
    if (parser.isSet(p.isolate)) {
        options.isolateDir = parser.value(p.isolate);
        if (options.isolateDir.isEmpty()) {
            return refuse(QStringLiteral("--isolate needs a folder"));
        }
    }
    if (parser.isSet(p.clean)) {
        options.cleanDir = parser.value(p.clean);
        if (options.cleanDir.isEmpty()) {
            return refuse(QStringLiteral("--clean needs a folder"));
        }
    }

    // Combinations that would do something nobody asked for.
    const QStringList positional = parser.positionalArguments();
    if (options.isolates()) {
        const std::pair<bool, const char*> others[] = {
            { options.hold, "--hold" },         { options.topUp, "--top-up" },
            { options.allocate, "--allocate" }, { options.usedPercent.has_value(), "--used" },
            { options.cleans(), "--clean" },    { parser.isSet(p.data), "--data" },
            { options.force, "--force" },       { options.recursive || options.dryRun, "--recursive or --dry-run" },
        };
        for (const auto& [given, name] : others) {
            if (given) {
                return refuse(QStringLiteral("--isolate does not go with %1").arg(QLatin1String(name)));
            }
        }
        if (!positional.isEmpty()) {
            return refuse(QStringLiteral("--isolate takes no PATH or SIZE: the space to leave is --leave SIZE"));
        }
        if (options.leave && options.leave->percent >= 0) {
            return refuse(QStringLiteral("--isolate takes --leave SIZE, not a percentage"));
        }
        if (options.leaveInodes && !options.inodes) {
            return refuse(QStringLiteral("--leave-inodes goes with --inodes"));
        }
        // tmpfs takes no more inodes than an unsigned long holds kibibytes: this is far beyond any
        // volume, and what the layer adds to it cannot overflow.
        if (constexpr qint64 most = qint64(1) << 50; options.leaveInodes > most) {
            return refuse(QStringLiteral("--leave-inodes %1 is more than a layer can have: at most %2")
                              .arg(*options.leaveInodes)
                              .arg(most));
        }
        if (options.command.isEmpty()) {
            return refuse(QStringLiteral("--isolate needs --run COMMAND: the layer lasts as long as COMMAND runs"));
        }
        if (const QString why = isolationUnavailableMessage(platform::isolationUnavailable()); !why.isEmpty()) {
            return refuse(why);
        }
        return options;
    }
    if (options.cleans()) {
        if (!positional.isEmpty() || options.holds() || options.leave || options.usedPercent || options.allocate
            || options.leaveInodes || options.topUp || options.keep || options.force) {
            return refuse(QStringLiteral("--clean takes a folder and only --recursive, --dry-run, --inodes, "
                                         "--json and --quiet"));
        }
        return options;
    }
    if (options.recursive || options.dryRun) {
        return refuse(QStringLiteral("--recursive and --dry-run go with --clean"));
    }
    if (options.hold && !options.command.isEmpty()) {
        return refuse(QStringLiteral("--hold and --run do not go together: the command's run is the hold"));
    }
    if ((options.keep || options.topUp) && !options.holds()) {
        return refuse(QStringLiteral("--keep and --top-up go with --run or --hold"));
    }
    if (options.leave && options.usedPercent) {
        return refuse(QStringLiteral("--leave and --used do not go together"));
    }
    if (options.leaveInodes && !options.inodes) {
        return refuse(QStringLiteral("--leave-inodes goes with --inodes"));
    }
    if (options.inodes
        && (positional.size() > 1 || options.leave || options.usedPercent || options.allocate
            || options.data != fill::Data::Ones)) {
        return refuse(
            QStringLiteral("--inodes fills with empty files: no SIZE, --leave, --used, --allocate or --data"));
    }
    if (positional.isEmpty() || positional.size() > 2) {
        return refuse(positional.isEmpty() ? QStringLiteral("no PATH given") : QStringLiteral("too many arguments"));
    }
    options.path = positional[0];
    if (options.path.isEmpty()) {
        return refuse(QStringLiteral("PATH is empty"));
    }
    if (positional.size() == 2) {
        const auto size = parseSize(positional[1]);
        if (!size) {
            return refuse(QStringLiteral("bad size: %1").arg(positional[1]));
        }
        // Computed as 0 by a script, it asks for neither a file of a block nor a full volume.
        if (*size == 0) {
            return refuse(QStringLiteral("0 is not a size: leave SIZE out to fill the volume"));
        }
        options.size = roundUpToBlocks(*size);
    }
    return options;
}

namespace {

// The length of the UTF-8 sequence at i that stands for one character, which is put in text; 0 when
// the byte at i begins none.
qsizetype characterAt(const QByteArray& bytes, qsizetype i, QString* text)
{
    const auto lead = static_cast<unsigned char>(bytes[i]);
    const int length = lead < 0x80 ? 1
        : (lead & 0xE0) == 0xC0    ? 2
        : (lead & 0xF0) == 0xE0    ? 3
        : (lead & 0xF8) == 0xF0    ? 4
                                   : 0;
    if (length == 0 || i + length > bytes.size()) {
        return 0;
    }
    const QByteArray sequence = bytes.mid(i, length);
    *text = QFile::decodeName(sequence);
    return QFile::encodeName(*text) == sequence ? length : 0;
}

} // namespace

QString escapedArgument(const QByteArray& argument)
{
    QString shown;
    qsizetype i = 0;
    while (i < argument.size()) {
        QString text;
        if (const qsizetype length = characterAt(argument, i, &text)) {
            shown += text;
            i += length;
            continue;
        }
        const auto lead = static_cast<unsigned char>(argument[i]);
        shown += QStringLiteral("\\x") + QString::number(lead, 16).rightJustified(2, u'0').toUpper();
        ++i;
    }
    return shown;
}

QString shellQuoted(const QByteArray& name)
{
    // What a shell reads as more than a letter; # and ~ only at the start of a word.
    static const QByteArray special(" !\"$&'()*;<=>?[\\^`|");
    bool plain = !name.isEmpty() && !name.startsWith('#') && !name.startsWith('~');
    bool escaping = false; // in a $'...' piece rather than a '...' one
    QString quoted(u'\'');
    for (qsizetype i = 0; i < name.size();) {
        QString text;
        qsizetype length = characterAt(name, i, &text);
        if (length > 0 && QChar::isPrint(text.toUcs4().value(0))) {
            plain = plain && !special.contains(name[i]);
            if (text == u'\'') {
                quoted += QStringLiteral("'\\''");
            } else {
                quoted += (escaping ? QStringLiteral("''") : QString()) + text;
            }
            escaping = false;
            i += length;
            continue;
        }
        // A control character, or bytes that are not text: each byte in C's escapes.
        plain = false;
        if (!escaping) {
            quoted += QStringLiteral("'$'");
            escaping = true;
        }
        for (const qsizetype end = i + std::max<qsizetype>(length, 1); i < end; ++i) {
            const auto byte = static_cast<unsigned char>(name[i]);
            static const char letters[] = "abtnvfr";
            quoted += byte >= '\a' && byte <= '\r'
                ? QStringLiteral("\\") + QLatin1Char(letters[byte - '\a'])
                : QStringLiteral("\\") + QString::number(byte, 8).rightJustified(3, u'0');
        }
    }
    return plain ? QFile::decodeName(name) : quoted + u'\'';
}

} // namespace cli
