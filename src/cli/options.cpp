#include "cli/options.h"

#include "cli/isolatemessages.h"
#include "cli/usage.h"
#include "platform/isolate.h"

#include <QCommandLineParser>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <bitset>
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

using Given = std::bitset<32>;

bool isGiven(const Given& given, Opt id)
{
    return given[static_cast<size_t>(id)];
}

Given givenOptions(const Parser& p, const Options& options)
{
    Given given;
    for (const OptionRow& row : optionTable()) {
        given[static_cast<size_t>(row.id)] = row.takes == Takes::Rest ? !options.command.isEmpty() : p.isSet(row.id);
    }
    return given;
}

// Whether an option that cannot stand in this mode is given.
bool outsideMode(const Given& given, unsigned mode)
{
    return std::any_of(optionTable().begin(), optionTable().end(),
                       [&](const OptionRow& row) { return !(row.modes & mode) && isGiven(given, row.id); });
}

// Why the options that need wanted (or its alternative) stand without it; empty when they do not.
QString unmetNeed(const Given& given, Opt wanted)
{
    QStringList names;
    QStringList needed;
    bool unmet = false;
    for (const OptionRow& row : optionTable()) {
        if (row.needs[0] != wanted) {
            continue;
        }
        names.append(dashed(row));
        needed.clear();
        bool met = false;
        for (const Opt need : row.needs) {
            if (need != Opt::None) {
                needed.append(dashed(rowOf(need)));
                met = met || isGiven(given, need);
            }
        }
        unmet = unmet || (isGiven(given, row.id) && !met);
    }
    if (!unmet) {
        return {};
    }
    return names.join(QStringLiteral(" and "))
        + (names.size() == 1 ? QStringLiteral(" goes with ") : QStringLiteral(" go with "))
        + needed.join(QStringLiteral(" or "));
}

// Why id and the option it does not go with are given together; empty when they are not.
QString clash(const Given& given, Opt id)
{
    const OptionRow& row = rowOf(id);
    if (!isGiven(given, id) || !isGiven(given, row.notWith)) {
        return {};
    }
    return dashed(row) + QStringLiteral(" and ") + dashed(rowOf(row.notWith)) + QStringLiteral(" do not go together")
        + QLatin1String(row.notWithWhy);
}

// Why --isolate cannot go with what else is given; empty when it can (the system aside).
QString isolateRefusal(const Options& options, const Given& given, const QStringList& positional)
{
    int first = 0;
    for (const OptionRow& row : optionTable()) {
        if (row.isolateRank != 0 && isGiven(given, row.id) && (first == 0 || row.isolateRank < first)) {
            first = row.isolateRank;
        }
    }
    if (first != 0) {
        QStringList names;
        for (const OptionRow& row : optionTable()) {
            if (row.isolateRank == first) {
                names.append(dashed(row));
            }
        }
        return QStringLiteral("--isolate does not go with %1").arg(names.join(QStringLiteral(" or ")));
    }
    if (!positional.isEmpty()) {
        return QStringLiteral("--isolate takes no PATH or SIZE: the space to leave is --leave SIZE");
    }
    if (options.leave && options.leave->percent >= 0) {
        return QStringLiteral("--isolate takes --leave SIZE, not a percentage");
    }
    if (const QString unmet = unmetNeed(given, Opt::Inodes); !unmet.isEmpty()) {
        return unmet;
    }
    // tmpfs takes no more inodes than an unsigned long holds kibibytes: this is far beyond any
    // volume, and what the layer adds to it cannot overflow.
    if (constexpr qint64 most = qint64(1) << 50; options.leaveInodes > most) {
        return QStringLiteral("--leave-inodes %1 is more than a layer can have: at most %2")
            .arg(*options.leaveInodes)
            .arg(most);
    }
    if (options.command.isEmpty()) {
        return QStringLiteral("--isolate needs --run COMMAND: the layer lasts as long as COMMAND runs");
    }
    return {};
}

// Why a fill (of bytes or inodes, held or not) cannot be what is given; empty when it can.
QString fillRefusal(const Options& options, const Given& given, const QStringList& positional)
{
    for (const QString& why : { unmetNeed(given, Opt::Clean), clash(given, Opt::Hold), unmetNeed(given, Opt::Run),
                                clash(given, Opt::Leave), unmetNeed(given, Opt::Inodes) }) {
        if (!why.isEmpty()) {
            return why;
        }
    }
    if (options.inodes
        && (positional.size() > 1 || outsideMode(given, WithInodes) || options.data != fill::Data::Ones)) {
        return QStringLiteral("--inodes fills with empty files: no SIZE, --leave, --used, --allocate or --data");
    }
    if (positional.isEmpty() || positional.size() > 2) {
        return positional.isEmpty() ? QStringLiteral("no PATH given") : QStringLiteral("too many arguments");
    }
    return {};
}

// The arguments for QCommandLineParser. Everything after --run is the command, options of its own
// included. QCommandLineParser has no option with an optional value: --hold takes the next
// argument only if it reads as a duration. Why they cannot be read; empty when they can.
QString ownArguments(const QStringList& arguments, QStringList* own, QStringList* command)
{
    own->append(QStringLiteral("tallowmere-fill"));
    bool optionsEnded = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        const OptionRow* row = optionsEnded ? nullptr : rowNamed(argument);
        const Takes takes = row ? row->takes : Takes::Nothing;
        if (takes == Takes::Rest) {
            *command = arguments.mid(i + 1);
            if (command->isEmpty() || command->first().isEmpty()) {
                return QStringLiteral("--run needs a COMMAND");
            }
            break;
        }
        if (takes == Takes::Duration) {
            // One too long for a duration is refused as one, not taken for a SIZE.
            const bool withDuration = i + 1 < arguments.size() && durationSeconds(arguments[i + 1]);
            own->append(dashed(*row) + u'=' + (withDuration ? arguments[++i] : QString()));
            continue;
        }
        optionsEnded = optionsEnded || argument == QLatin1String("--");
        own->append(argument);
        if (takes == Takes::Value && i + 1 < arguments.size()) {
            own->append(arguments[++i]);
        }
    }
    return {};
}

QString parseError(const QCommandLineParser& parser)
{
    const QStringList unknown = parser.unknownOptionNames();
    if (unknown.isEmpty()) {
        return parser.errorText();
    }
    const QString& name = unknown.first();
    return QStringLiteral("unknown option: %1%2 (a PATH that begins with '-' goes after --)")
        .arg(name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--"), name);
}

QString readProgressAndData(const Parser& p, Options& options)
{
    if (p.isSet(Opt::Progress)) {
        const QString style = p.value(Opt::Progress);
        if (style == QLatin1String("text")) {
            options.progress = ProgressStyle::Text;
        } else if (style == QLatin1String("json")) {
            options.progress = ProgressStyle::Json;
        } else if (style == QLatin1String("none")) {
            options.progress = ProgressStyle::None;
        } else {
            return QStringLiteral("--progress is text, json or none, not %1").arg(style);
        }
    }
    if (p.isSet(Opt::Data)) {
        const QString kind = p.value(Opt::Data);
        if (kind == QLatin1String("random")) {
            options.data = fill::Data::Random;
        } else if (kind != QLatin1String("ones")) {
            return QStringLiteral("--data is ones or random, not %1").arg(kind);
        }
    }
    return {};
}

QString readLeaveAndUsed(const Parser& p, Options& options)
{
    if (p.isSet(Opt::Leave)) {
        const QString value = p.value(Opt::Leave);
        Leave leave;
        if (value.trimmed().endsWith(u'%')) {
            leave.percent = parsePercent(value, true);
            if (leave.percent < 0) {
                return QStringLiteral("bad percentage for --leave: %1").arg(value);
            }
        } else if (const auto bytes = parseSize(value)) {
            leave.bytes = *bytes;
        } else {
            return QStringLiteral("bad size for --leave: %1").arg(value);
        }
        options.leave = leave;
    }
    if (p.isSet(Opt::Used)) {
        const double percent = parsePercent(p.value(Opt::Used), false);
        if (!(percent > 0)) {
            return QStringLiteral("bad percentage for --used: %1 (more than 0, at most 100)").arg(p.value(Opt::Used));
        }
        options.usedPercent = percent;
    }
    return {};
}

QString readHold(const Parser& p, Options& options)
{
    if (!p.isSet(Opt::Hold)) {
        return {};
    }
    options.hold = true;
    const QString value = p.value(Opt::Hold);
    if (value.isEmpty()) {
        return {};
    }
    options.holdSeconds = parseDuration(value);
    if (!options.holdSeconds && durationSeconds(value)) {
        return QStringLiteral("--hold %1 is too long: at most %2 seconds (about 300 years)")
            .arg(value)
            .arg(longestDuration, 0, 'f', 0);
    }
    if (!options.holdSeconds) {
        return QStringLiteral("bad duration for --hold: %1 (90, 90s, 5m, 2h)").arg(value);
    }
    return {};
}

QString readCountAndFolders(const Parser& p, Options& options)
{
    if (p.isSet(Opt::LeaveInodes)) {
        bool ok = false;
        const qint64 count = p.value(Opt::LeaveInodes).toLongLong(&ok);
        if (!ok || count < 0) {
            return QStringLiteral("bad number for --leave-inodes: %1").arg(p.value(Opt::LeaveInodes));
        }
        options.leaveInodes = count;
    }
    if (p.isSet(Opt::Isolate)) {
        options.isolateDir = p.value(Opt::Isolate);
        if (options.isolateDir.isEmpty()) {
            return QStringLiteral("--isolate needs a folder");
        }
    }
    if (p.isSet(Opt::Clean)) {
        options.cleanDir = p.value(Opt::Clean);
        if (options.cleanDir.isEmpty()) {
            return QStringLiteral("--clean needs a folder");
        }
    }
    return {};
}

// PATH and SIZE into the options; why they cannot be, or empty.
QString readPositional(const QStringList& positional, Options& options)
{
    options.path = positional[0];
    if (options.path.isEmpty()) {
        return QStringLiteral("PATH is empty");
    }
    if (positional.size() == 2) {
        const auto size = parseSize(positional[1]);
        if (!size) {
            return QStringLiteral("bad size: %1").arg(positional[1]);
        }
        // Computed as 0 by a script, it asks for neither a file of a block nor a full volume.
        if (*size == 0) {
            return QStringLiteral("0 is not a size: leave SIZE out to fill the volume");
        }
        options.size = roundUpToBlocks(*size);
    }
    return {};
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

bool asksForJson(const QStringList& arguments)
{
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--")) {
            return false;
        }
        const OptionRow* row = rowNamed(arguments[i]);
        if (row && row->takes == Takes::Rest) {
            return false;
        }
        if (row && row->takes == Takes::Value) {
            ++i; // its value
        } else if (row && row->id == Opt::Json) {
            return true;
        }
    }
    return false;
}

QStringList optionNames()
{
    QStringList names;
    for (const OptionRow& row : optionTable()) {
        names.append(dashed(row));
    }
    return names;
}

std::optional<Options> parseArguments(const QStringList& arguments, QString* error)
{
    auto refuse = [error](const QString& why) {
        *error = why;
        return std::nullopt;
    };
    Options options;
    QStringList own;
    if (const QString why = ownArguments(arguments, &own, &options.command); !why.isEmpty()) {
        return refuse(why);
    }
    Parser p;
    if (!p.parser.parse(own)) {
        return refuse(parseError(p.parser));
    }
    for (const OptionRow& row : optionTable()) {
        if (row.flag) {
            options.*row.flag = p.isSet(row.id);
        }
    }
    if (options.help || options.version) {
        return options;
    }
    if (p.isSet(Opt::Run)) {
        return refuse(QStringLiteral("--run needs a COMMAND"));
    }
    for (const auto read : { readProgressAndData, readLeaveAndUsed, readHold, readCountAndFolders }) {
        if (const QString why = read(p, options); !why.isEmpty()) {
            return refuse(why);
        }
    }

    // Combinations that would do something nobody asked for.
    const Given given = givenOptions(p, options);
    const QStringList positional = p.parser.positionalArguments();
    if (options.isolates()) {
        if (const QString why = isolateRefusal(options, given, positional); !why.isEmpty()) {
            return refuse(why);
        }
        if (const QString why = isolationUnavailableMessage(platform::isolationUnavailable()); !why.isEmpty()) {
            return refuse(why);
        }
        return options;
    }
    if (options.cleans()) {
        if (!positional.isEmpty() || outsideMode(given, WithClean)) {
            return refuse(QStringLiteral("--clean takes a folder and only --recursive, --dry-run, --inodes, "
                                         "--json and --quiet"));
        }
        return options;
    }
    if (const QString why = fillRefusal(options, given, positional); !why.isEmpty()) {
        return refuse(why);
    }
    if (const QString why = readPositional(positional, options); !why.isEmpty()) {
        return refuse(why);
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
