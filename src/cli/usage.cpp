#include "cli/usage.h"

#include "productinfo.h"

#include <algorithm>

namespace cli {

namespace {

const OptionRow rows[] = {
    { .id = Opt::Help, .name = "help", .flag = &Options::help, .modes = WithClean | WithInodes },
    { .id = Opt::Version, .name = "version", .flag = &Options::version, .modes = WithClean | WithInodes },
    { .id = Opt::Leave,
      .name = "leave",
      .takes = Takes::Value,
      .valueName = "SIZE|N%",
      .modes = FillOnly,
      .notWith = Opt::Used,
      .description = "Stop when only SIZE, or N percent of the volume, remains available (to the block)." },
    { .id = Opt::Used,
      .name = "used",
      .takes = Takes::Value,
      .valueName = "N%",
      .modes = FillOnly,
      .isolateRank = 4,
      .description = "Fill until df shows the volume N percent used (its Use%)." },
    { .id = Opt::Force,
      .name = "force",
      .flag = &Options::force,
      .isolateRank = 7,
      .description = "Overwrite PATH if it exists." },
    { .id = Opt::Quiet,
      .name = "quiet",
      .flag = &Options::quiet,
      .modes = WithClean | WithInodes,
      .description = "No progress display." },
    { .id = Opt::Json,
      .name = "json",
      .flag = &Options::json,
      .modes = WithClean | WithInodes,
      .description = "Print the summary as one JSON object on standard output." },
    { .id = Opt::Progress,
      .name = "progress",
      .takes = Takes::Value,
      .valueName = "STYLE",
      .modes = WithClean | WithInodes,
      .description = "Progress on standard error: text, json (one object a line, about four a second) or none. "
                     "Default: text on a terminal." },
    // With --inodes only the default, ones, goes: its value is checked, not the option.
    { .id = Opt::Data,
      .name = "data",
      .takes = Takes::Value,
      .valueName = "KIND",
      .modes = WithClean | WithInodes,
      .isolateRank = 6,
      .description = "What the blocks after the header hold: ones (bytes of 255, the default) or random (for "
                     "compressing volumes)." },
    { .id = Opt::Allocate,
      .name = "allocate",
      .flag = &Options::allocate,
      .modes = FillOnly,
      .isolateRank = 3,
      .description = "Reserve the space with fallocate instead of writing it, then write the last blocks: a full "
                     "volume in seconds. The reserved part reads as zeros." },
    { .id = Opt::Hold,
      .name = "hold",
      .takes = Takes::Duration,
      .valueName = "DURATION",
      .isolateRank = 1,
      .notWith = Opt::Run,
      .notWithWhy = ": the command's run is the hold",
      .description = "Keep the volume full for DURATION (90, 90s, 5m, 2h; alone: until SIGINT, SIGTERM or "
                     "SIGHUP), then delete the fill file." },
    { .id = Opt::Run,
      .name = "run",
      .takes = Takes::Rest,
      .description = "Run COMMAND [ARGS...] (everything after --run) while the volume is full, in a process group "
                     "of its own that gets the signals the filler gets; then end what it left running, delete the "
                     "fill file and exit with COMMAND's code." },
    { .id = Opt::Keep,
      .name = "keep",
      .flag = &Options::keep,
      .needs = { Opt::Run, Opt::Hold },
      .description = "With --run or --hold: leave the fill file in place afterwards." },
    { .id = Opt::TopUp,
      .name = "top-up",
      .flag = &Options::topUp,
      .isolateRank = 2,
      .needs = { Opt::Run, Opt::Hold },
      .description = "With --run or --hold: write again whatever space frees up." },
    { .id = Opt::Inodes,
      .name = "inodes",
      .flag = &Options::inodes,
      .modes = WithClean | WithInodes,
      .description = "Make a new folder at PATH and fill it with empty files until the volume has no inode "
                     "left." },
    { .id = Opt::LeaveInodes,
      .name = "leave-inodes",
      .takes = Takes::Value,
      .valueName = "N",
      .needs = { Opt::Inodes },
      .description = "With --inodes: stop N inodes short." },
    { .id = Opt::Isolate,
      .name = "isolate",
      .takes = Takes::Value,
      .valueName = "DIR",
      .description = "With --run: COMMAND alone sees DIR full, with SIZE of --leave (default 0) left, or with "
                     "--inodes N more files. What it writes goes to a layer in memory over DIR, and is gone when "
                     "it ends: nothing reaches DIR, and other programs see DIR as it is. Linux; see below." },
    { .id = Opt::Clean,
      .name = "clean",
      .takes = Takes::Value,
      .valueName = "DIR",
      .modes = WithClean | WithInodes,
      .isolateRank = 5,
      .description = "Remove the fill files that killed runs left in DIR (with --inodes, also their folders), "
                     "printing each path. A file counts only if its header block, length and sampled blocks are "
                     "a fill's; one a running fill holds is left alone, named as in use." },
    { .id = Opt::Recursive,
      .name = "recursive",
      .flag = &Options::recursive,
      .modes = WithClean | WithInodes,
      .isolateRank = 8,
      .needs = { Opt::Clean },
      .description = "With --clean: also in subfolders, never leaving DIR's volume." },
    { .id = Opt::DryRun,
      .name = "dry-run",
      .flag = &Options::dryRun,
      .modes = WithClean | WithInodes,
      .isolateRank = 8,
      .needs = { Opt::Clean },
      .description = "With --clean: only list them." },
};

} // namespace

std::span<const OptionRow> optionTable()
{
    return rows;
}

const OptionRow& rowOf(Opt id)
{
    return *std::find_if(optionTable().begin(), optionTable().end(),
                         [id](const OptionRow& row) { return row.id == id; });
}

QString dashed(const OptionRow& row)
{
    return QStringLiteral("--") + QLatin1String(row.name);
}

const OptionRow* rowNamed(const QString& argument)
{
    for (const OptionRow& row : optionTable()) {
        if (argument == dashed(row)) {
            return &row;
        }
    }
    return nullptr;
}

Parser::Parser()
{
    parser.setApplicationDescription(
        QStringLiteral("Creates the fill file PATH: a 1024-byte header block, then 1024-byte blocks of bytes 255.\n"
                       "With SIZE, the file is that large (rounded up to whole blocks, at least one block);\n"
                       "without it, the file grows until the volume holding PATH is full."));
    for (const OptionRow& row : optionTable()) {
        if (row.id == Opt::Help) {
            options.append(parser.addHelpOption());
        } else if (row.id == Opt::Version) {
            options.append(parser.addVersionOption());
        } else {
            options.append(QCommandLineOption(QLatin1String(row.name), QLatin1String(row.description),
                                              row.valueName ? QLatin1String(row.valueName) : QString()));
            parser.addOption(options.last());
        }
    }
    parser.addPositionalArgument(QStringLiteral("PATH"), QStringLiteral("The fill file (with --inodes, the folder)."));
    parser.addPositionalArgument(QStringLiteral("SIZE"),
                                 QStringLiteral("Its size: a number with an optional unit K, KB or KiB (1024 "
                                                "bytes), M/MB/MiB, G/GB/GiB, T/TB/TiB; a bare number counts "
                                                "bytes. 0 is refused."),
                                 QStringLiteral("[SIZE]"));
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

} // namespace cli
