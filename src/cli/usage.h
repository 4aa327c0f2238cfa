#pragma once

#include "cli/options.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QString>

#include <span>

// tallowmere-fill's options as one table: their names, values and help, and which modes they go
// with. The parser's set-up, the help and the checks of what goes together are all read from it.
namespace cli {

enum class Opt {
    None,
    Help,
    Version,
    Leave,
    Used,
    Force,
    Quiet,
    Json,
    Progress,
    Data,
    Allocate,
    Hold,
    Run,
    Keep,
    TopUp,
    Inodes,
    LeaveInodes,
    Isolate,
    Clean,
    Recursive,
    DryRun,
};

enum class Takes {
    Nothing,
    Value, // the next argument, whatever it reads as
    Duration, // --hold: the next argument only when it reads as a duration
    Rest, // --run: every argument after it
};

// The modes an option may stand in besides a fill of bytes.
enum Modes : unsigned {
    FillOnly = 0,
    WithClean = 1, // beside --clean
    WithInodes = 2, // beside --inodes
};

struct OptionRow
{
    Opt id;
    const char* name;
    Takes takes = Takes::Nothing;
    const char* valueName = nullptr; // in the help
    bool Options::*flag = nullptr; // set when the option is given
    unsigned modes = WithInodes;
    // 0: goes with --isolate; else --isolate is refused beside it, and names the first given in
    // this order (options of one rank are named together).
    int isolateRank = 0;
    Opt needs[2] = { Opt::None, Opt::None }; // refused unless one of these is given too
    Opt notWith = Opt::None; // refused beside this one...
    const char* notWithWhy = ""; // ...with this said after
    const char* description = "";
};

// In the order the help lists them.
std::span<const OptionRow> optionTable();
const OptionRow& rowOf(Opt id);
// Its name as given: --name.
QString dashed(const OptionRow& row);
// The row an argument names as it stands, without a value after =; nothing for any other.
const OptionRow* rowNamed(const QString& argument);

// The option set-up of the table; the help and version options are Qt's own.
struct Parser
{
    QCommandLineParser parser;
    QList<QCommandLineOption> options; // in the table's order

    Parser();

    const QCommandLineOption& option(Opt id) const { return options[&rowOf(id) - optionTable().data()]; }
    bool isSet(Opt id) const { return parser.isSet(option(id)); }
    QString value(Opt id) const { return parser.value(option(id)); }
};

} // namespace cli
