#include "app/mf.h"
#include "cli/fillcommand.h"
#include "cli/leavepolicy.h"
#include "fill/fillengine.h"
#include "platform/filesystem.h"

#include "fakedesktop.h"
#include "fillfile.h"
#include "tmpfs.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QMap>
#include <QProcess>
#include <QRadioButton>
#include <QStandardPaths>
#include <QTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 KiB = 1024;
constexpr qint64 MiB = 1024 * 1024;

struct Outcome
{
    int code = -1;
    QString out;
    QString err;
};

Outcome runFiller(const QStringList& arguments, const QString& workingDirectory = {})
{
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    process.start(QStringLiteral(TALLOWMERE_FILL), arguments);
    Outcome outcome;
    if (!process.waitForFinished(120000)) {
        return outcome;
    }
    outcome.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    outcome.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    outcome.err = QString::fromLocal8Bit(process.readAllStandardError());
    return outcome;
}

// Starts a fill of a large volume and, once the file is growing, does something to the run.
int interruptRun(const QString& path, const std::function<void(QProcess&)>& act, QString* summary = nullptr)
{
    QProcess process;
    process.start(QStringLiteral(TALLOWMERE_FILL), { QStringLiteral("--quiet"), path });
    if (!process.waitForStarted()) {
        return -1;
    }
    QElapsedTimer timer;
    timer.start();
    while (fileSize(path) < 8 * MiB && timer.elapsed() < 30000 && process.state() == QProcess::Running) {
        QTest::qSleep(1);
    }
    act(process);
    process.waitForFinished(60000);
    if (summary) {
        *summary = QString::fromLocal8Bit(process.readAllStandardError());
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

} // namespace

class tst_Cli : public QObject
{
    Q_OBJECT

private slots:
    void sizes_data();
    void sizes();
    void arguments_data();
    void arguments();

    void fillsTheVolume();
    void leavesWhatWasAsked_data();
    void leavesWhatWasAsked();
    void leaveOnADiskFileSystem();
    void giveBackGoesThroughTheOpenFile();
    void rootFillsTheReserve();
    void leaveCountsTheVolumeALinkLeadsTo();
    void leaveBeyondWhatIsAvailable_data();
    void leaveBeyondWhatIsAvailable();
    void leaveBeforeTheSize();
    void sizeBeyondTheVolume();
    void refusesBeforeTouchingAnyFile();
    void existingFileNeedsForce();
    void headerCutShortLeavesNoPartialHeader();
    void jsonSummary();
    void interruptedKeepsWholeBlocks_data();
    void interruptedKeepsWholeBlocks();
    void sameFileAsTheWindow();
    void helpAndVersion();
};

void tst_Cli::sizes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("bytes"); // -1: refused

    QTest::newRow("bytes") << "1500" << qint64(1500);
    QTest::newRow("K") << "3K" << 3 * KiB;
    QTest::newRow("KB") << "3KB" << 3 * KiB;
    QTest::newRow("KiB") << "3KiB" << 3 * KiB;
    QTest::newRow("M") << "3M" << 3 * MiB;
    QTest::newRow("mb lower case") << "3mb" << 3 * MiB;
    QTest::newRow("MiB") << "3MiB" << 3 * MiB;
    QTest::newRow("G") << "2G" << 2 * 1024 * MiB;
    QTest::newRow("T") << "5T" << 5 * 1024 * 1024 * MiB;
    QTest::newRow("TiB") << "1TiB" << 1024 * 1024 * MiB;
    QTest::newRow("fraction") << "1.5M" << 3 * MiB / 2;
    QTest::newRow("blank before unit") << "10 M" << 10 * MiB;
    QTest::newRow("empty") << "" << qint64(-1);
    QTest::newRow("negative") << "-1M" << qint64(-1);
    QTest::newRow("unknown unit") << "3X" << qint64(-1);
    QTest::newRow("B alone is no unit") << "3B" << qint64(-1);
    QTest::newRow("unit alone") << "M" << qint64(-1);
    QTest::newRow("two numbers") << "1 2" << qint64(-1);
    QTest::newRow("exponent") << "1e3" << qint64(-1);
    QTest::newRow("beyond 64 bits") << "99999999T" << qint64(-1);
    QTest::newRow("10000 digits") << QString(10000, u'9') << qint64(-1);
}

void tst_Cli::sizes()
{
    QFETCH(QString, text);
    QFETCH(qint64, bytes);
    const auto size = cli::parseSize(text);
    QCOMPARE(size.has_value(), bytes >= 0);
    if (size) {
        QCOMPARE(*size, bytes);
    }
}

void tst_Cli::arguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<qint64>("size"); // -1: none

    QTest::newRow("path only") << QStringList { "f" } << true << qint64(-1);
    QTest::newRow("size rounds up to blocks") << QStringList { "f", "1500" } << true << 2 * KiB;
    QTest::newRow("zero is no size") << QStringList { "f", "0" } << false << qint64(-1);
    QTest::newRow("zero with a unit is no size") << QStringList { "f", "0K" } << false << qint64(-1);
    QTest::newRow("options anywhere") << QStringList { "--quiet", "f", "--json", "3M", "--force" } << true << 3 * MiB;
    QTest::newRow("leave size") << QStringList { "f", "--leave", "10M" } << true << qint64(-1);
    QTest::newRow("leave percent") << QStringList { "f", "--leave=5%" } << true << qint64(-1);
    QTest::newRow("path after --") << QStringList { "--", "--quiet" } << true << qint64(-1);
    QTest::newRow("dashed path after --") << QStringList { "--", "-h" } << true << qint64(-1);
    QTest::newRow("lone dash is a name") << QStringList { "-", "1K" } << true << KiB;
    QTest::newRow("short option not taken for a path") << QStringList { "-q" } << false << qint64(-1);
    QTest::newRow("negative size") << QStringList { "f", "-3K" } << false << qint64(-1);
    QTest::newRow("no path") << QStringList {} << false << qint64(-1);
    QTest::newRow("empty path") << QStringList { "" } << false << qint64(-1);
    QTest::newRow("three positionals") << QStringList { "f", "1M", "2M" } << false << qint64(-1);
    QTest::newRow("bad size") << QStringList { "f", "lots" } << false << qint64(-1);
    QTest::newRow("unknown option") << QStringList { "f", "--fast" } << false << qint64(-1);
    QTest::newRow("leave without value") << QStringList { "f", "--leave" } << false << qint64(-1);
    QTest::newRow("leave over 100%") << QStringList { "f", "--leave", "101%" } << false << qint64(-1);
    QTest::newRow("leave bad size") << QStringList { "f", "--leave", "-3M" } << false << qint64(-1);
}

void tst_Cli::arguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, valid);
    QFETCH(qint64, size);
    QString error;
    const auto options = cli::parseArguments(arguments, &error);
    QCOMPARE(options.has_value(), valid);
    if (!options) {
        QVERIFY(!error.isEmpty());
        return;
    }
    QCOMPARE(options->size.value_or(-1), size);
}

void tst_Cli::fillsTheVolume()
{
    TMPFS(volume, 16 * MiB);
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    const Outcome outcome = runFiller({ path });
    QCOMPARE(outcome.code, 0);
    QVERIFY(volume.available() < KiB);
    const QString problem = checkFillFile(path, fileSize(path));
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QVERIFY(outcome.err.contains(QStringLiteral("disk full")));
    QVERIFY(!outcome.err.contains(u'\r')); // no progress when stderr is not a terminal
}

void tst_Cli::leavesWhatWasAsked_data()
{
    QTest::addColumn<QString>("leave");
    QTest::addColumn<qint64>("bytes");
    QTest::newRow("1M") << "1M" << MiB;
    QTest::newRow("10M") << "10M" << 10 * MiB;
    QTest::newRow("25%") << "25%" << 8 * MiB;
    QTest::newRow("odd bytes") << "1000000" << qint64(1000000);
}

void tst_Cli::leavesWhatWasAsked()
{
    QFETCH(QString, leave);
    QFETCH(qint64, bytes);
    TMPFS(volume, 32 * MiB);
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    const Outcome outcome = runFiller({ path, QStringLiteral("--leave"), leave });
    QCOMPARE(outcome.code, 0);
    const qint64 available = volume.available();
    // To the block: tmpfs hands out 4 KiB pages, so exactly what was asked, rounded up to a page.
    QVERIFY2(available >= bytes && available < bytes + 4096, qPrintable(QString::number(available)));
    const QString problem = checkFillFile(path, fileSize(path));
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QVERIFY(outcome.err.contains(QStringLiteral(" %1 bytes left available").arg(available)));
}

// ext4 counts space late: delayed allocation holds back more than a file will take until its data
// is written back, and a journal not yet committed holds freed blocks. On a volume of this size an
// unsettled reading left close to 1 MiB too much in one run of five or so; the space to leave must
// hold, to the block, all the same.
void tst_Cli::leaveOnADiskFileSystem()
{
    if (!Tmpfs::canMount()) {
        QSKIP("mounting needs root");
    }
    Ext4Volume volume(512 * MiB);
    QVERIFY2(volume.isMounted(), qPrintable(volume.error()));
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    for (int round = 0; round < 4; ++round) {
        QFile::remove(path);
        QProcess::execute(QStringLiteral("sync"), { QStringLiteral("-f"), volume.path() });
        const Outcome outcome = runFiller({ path, QStringLiteral("--leave"), QStringLiteral("1M") });
        QCOMPARE(outcome.code, 0);
        QProcess::execute(QStringLiteral("sync"), { QStringLiteral("-f"), volume.path() });
        const qint64 available = volume.available();
        QVERIFY2(available >= MiB && available < MiB + 4096 + KiB,
                 qPrintable(QStringLiteral("round %1: %2 bytes left").arg(round).arg(available)));
        QVERIFY(outcome.err.contains(QStringLiteral(" %1 bytes left available").arg(available)));
        const QString problem = checkFillFile(path, fileSize(path));
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }
}

// The last blocks of a fill may take more than they seemed, and blocks are given back. During the run
// the file was renamed and a user's file put at its name: the blocks come off the fill file, through
// its open handle, and the user's file is not touched.
void tst_Cli::giveBackGoesThroughTheOpenFile()
{
    if (!Tmpfs::canMount()) {
        QSKIP("mounting needs root");
    }
    Ext4Volume volume(64 * MiB);
    QVERIFY2(volume.isMounted(), qPrintable(volume.error()));
    const QString path = volume.filePath(QStringLiteral("rep"));
    const QString moved = volume.filePath(QStringLiteral("rep.moved"));
    const QString user = volume.filePath(QStringLiteral("userfile"));
    const QByteArray userData(5 * MiB, 'u');
    QVERIFY(writeFile(user, userData));

    const qint64 leave = 8 * MiB;
    cli::LeavePolicy policy(
        leave, [&volume] { return platform::volumeSpace({}, volume.path()); },
        [&volume] { platform::settleVolume({}, volume.path()); });
    bool swapped = false;
    bool otherWriter = false;
    fill::Hooks hooks;
    hooks.pass = [&](qint64 position) {
        if (!swapped && position > 4 * MiB) {
            swapped = QFile::rename(path, moved) && QFile::rename(user, path);
        }
    };
    hooks.stopRequested = [] { return false; };
    hooks.runLimit = [&policy](qint64 written) { return policy.runLimit(written); };
    hooks.trimTo = [&](qint64 length) {
        // Another program takes 2 MiB once the floor was reached: blocks must be given back.
        if (!otherWriter) {
            otherWriter = writeFile(volume.filePath(QStringLiteral("other")), QByteArray(2 * MiB, 'o'));
        }
        return policy.trimTo(length);
    };
    const auto file = platform::makeOutputFile();
    fill::Engine engine(*file, hooks);
    const fill::Result result = engine.run(path, fill::fillTheDisk, platform::Existing::Refuse);
    QVERIFY(swapped && otherWriter);
    QCOMPARE(result.outcome, fill::Outcome::TargetReached);
    QVERIFY(readFile(path) == userData);
    QCOMPARE(fileSize(moved), result.bytesWritten);
    const QString problem = checkFillFile(moved, result.bytesWritten);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    platform::settleVolume({}, volume.path());
    QVERIFY2(volume.available() >= leave, qPrintable(QString::number(volume.available())));
}

// A disk file system keeps a share back that only root may fill: a fill by root runs into it, and
// the space its progress counts against takes it in.
void tst_Cli::rootFillsTheReserve()
{
    if (!Tmpfs::canMount() || ::geteuid() != 0) {
        QSKIP("mounting needs root");
    }
    Ext4Volume volume(64 * MiB, 5);
    QVERIFY2(volume.isMounted(), qPrintable(volume.error()));
    const auto before = platform::volumeSpace({}, volume.path());
    QVERIFY(before.has_value());
    QVERIFY2(before->fillable > before->available + 2 * MiB,
             qPrintable(QStringLiteral("%1 %2").arg(before->fillable).arg(before->available)));
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    const Outcome outcome = runFiller({ QStringLiteral("--quiet"), path });
    QCOMPARE(outcome.code, 0);
    QVERIFY(fileSize(path) > before->available + 2 * MiB);
    QVERIFY(fileSize(path) <= before->fillable);
}

void tst_Cli::leaveCountsTheVolumeALinkLeadsTo()
{
    TMPFS(data, 8 * MiB);
    TMPFS(links, 32 * MiB);
    const QString target = data.filePath(QStringLiteral("fill.dat"));
    const QString link = links.filePath(QStringLiteral("fill.dat"));
    QVERIFY(writeFile(target, "old"));
    QVERIFY(QFile::link(target, link));
    const Outcome outcome
        = runFiller({ QStringLiteral("--force"), link, QStringLiteral("--leave"), QStringLiteral("2M") });
    QCOMPARE(outcome.code, 0);
    QVERIFY2(data.available() >= 2 * MiB && data.available() < 2 * MiB + 4096, qPrintable(outcome.err));
    QVERIFY(outcome.err.contains(QStringLiteral(" %1 bytes left available").arg(data.available())));

    // A link to a file not made yet, reached through a linked folder, with ".." in its target: the
    // space is counted where the system makes the file.
    QVERIFY(QFile::remove(target));
    QVERIFY(QDir(data.path()).mkdir(QStringLiteral("sub")));
    QVERIFY(QFile::link(QStringLiteral("../fresh.dat"), data.filePath(QStringLiteral("sub/link"))));
    QVERIFY(QFile::link(data.filePath(QStringLiteral("sub")), links.filePath(QStringLiteral("d"))));
    const Outcome fresh
        = runFiller({ links.filePath(QStringLiteral("d/link")), QStringLiteral("--leave"), QStringLiteral("2M") });
    QCOMPARE(fresh.code, 0);
    QVERIFY(fileSize(data.filePath(QStringLiteral("fresh.dat"))) > MiB);
    QVERIFY2(data.available() >= 2 * MiB && data.available() < 2 * MiB + 4096, qPrintable(fresh.err));

    // Where the link leads has a name that is no text: its free space cannot be told, so a fill that
    // must leave some is refused before anything is made.
    const QByteArray odd = QFile::encodeName(data.path()) + "/v\xff";
    QCOMPARE(::mkdir(odd.constData(), 0755), 0);
    QCOMPARE(::symlink((odd + "/fill.dat").constData(),
                       QFile::encodeName(links.filePath(QStringLiteral("odd"))).constData()),
             0);
    const Outcome refused
        = runFiller({ links.filePath(QStringLiteral("odd")), QStringLiteral("--leave"), QStringLiteral("1M") });
    QCOMPARE(refused.code, 2);
    QVERIFY2(refused.err.contains(QStringLiteral("cannot tell the free space")), qPrintable(refused.err));
    struct stat st = {};
    QCOMPARE(::stat((odd + "/fill.dat").constData(), &st), -1);
}

void tst_Cli::leaveBeyondWhatIsAvailable_data()
{
    // How much less than what is available to leave.
    QTest::addColumn<qint64>("shortOf");
    QTest::addColumn<QStringList>("more");
    QTest::newRow("more than the volume holds") << -MiB << QStringList();
    QTest::newRow("all of it") << qint64(0) << QStringList();
    // The header's 1024 bytes would fit, but the volume gives out whole 4 KiB pages.
    QTest::newRow("within the header's page") << 2 * KiB << QStringList();
    QTest::newRow("with a size") << 2 * KiB << QStringList { "1M" };
}

// A floor that not even the header block keeps is not met: nothing is made, and it is no success.
void tst_Cli::leaveBeyondWhatIsAvailable()
{
    QFETCH(qint64, shortOf);
    QFETCH(QStringList, more);
    TMPFS(volume, 4 * MiB);
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    const qint64 leave = volume.available() - shortOf;
    const Outcome outcome = runFiller(
        QStringList { QStringLiteral("--json"), path, QStringLiteral("--leave"), QString::number(leave) } + more);
    QCOMPARE(outcome.code, 3);
    QCOMPARE(fileSize(path), qint64(-1));
    QVERIFY2(outcome.err.contains(QStringLiteral("nothing was written")), qPrintable(outcome.err));
    const QJsonObject summary = QJsonDocument::fromJson(outcome.out.toUtf8()).object();
    QCOMPARE(summary.value(QStringLiteral("reason")).toString(), QStringLiteral("space to leave already reached"));
    QCOMPARE(summary.value(QStringLiteral("exit_code")).toInt(), 3);

    // A file to be overwritten counts with the space it gives back.
    QVERIFY(writeFile(path, QByteArray(64 * KiB, 'x')));
    const Outcome overwrite = runFiller(
        { QStringLiteral("--force"), path, QStringLiteral("--leave"), QString::number(volume.available() + 32 * KiB) });
    QCOMPARE(overwrite.code, 0);
    QVERIFY(fileSize(path) >= KiB && fileSize(path) < 64 * KiB);
}

void tst_Cli::leaveBeforeTheSize()
{
    TMPFS(volume, 8 * MiB);
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    const Outcome outcome = runFiller({ path, QStringLiteral("6M"), QStringLiteral("--leave"), QStringLiteral("4M") });
    // The size was not reached: not a success, the file kept.
    QCOMPARE(outcome.code, 3);
    QVERIFY2(outcome.err.contains(QStringLiteral("space to leave reached before the size")), qPrintable(outcome.err));
    const qint64 size = fileSize(path);
    QVERIFY(size > KiB && size < 6 * MiB);
    QVERIFY(volume.available() >= 4 * MiB);
    const QString problem = checkFillFile(path, size);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void tst_Cli::sizeBeyondTheVolume()
{
    TMPFS(volume, 4 * MiB);
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    const Outcome outcome = runFiller({ path, QStringLiteral("1G") });
    QCOMPARE(outcome.code, 3);
    const qint64 size = fileSize(path);
    QVERIFY(size > 3 * MiB && size < 1024 * MiB);
    const QString problem = checkFillFile(path, size);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void tst_Cli::refusesBeforeTouchingAnyFile()
{
    TMPFS(volume, 4 * MiB);
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    for (const QStringList& arguments :
         { QStringList { path, QStringLiteral("-5M") }, QStringList { path, QStringLiteral("3 lots") },
           QStringList { path, QStringLiteral("--leave"), QStringLiteral("x") },
           QStringList { path, QStringLiteral("1M"), QStringLiteral("--bogus") } }) {
        const Outcome outcome = runFiller(arguments);
        QCOMPARE(outcome.code, 2);
        QVERIFY(!outcome.err.isEmpty());
        QCOMPARE(fileSize(path), qint64(-1));
    }
    // A name that is not text in the system's encoding (UTF-8 here) is refused, not replaced.
    QProcess shell;
    shell.start(QStringLiteral("sh"),
                { QStringLiteral("-c"), QStringLiteral("exec \"$0\" \"$1/a$(printf '\\377').dat\" 1K"),
                  QStringLiteral(TALLOWMERE_FILL), volume.path() });
    QVERIFY(shell.waitForFinished(60000));
    QCOMPARE(shell.exitCode(), 2);
    QVERIFY(QDir(volume.path()).isEmpty());
    // With --json, the summary says so, the argument shown escaped.
    shell.start(QStringLiteral("sh"),
                { QStringLiteral("-c"), QStringLiteral("exec \"$0\" --json \"a$(printf '\\377')\" 1K"),
                  QStringLiteral(TALLOWMERE_FILL) });
    QVERIFY(shell.waitForFinished(60000));
    QCOMPARE(shell.exitCode(), 2);
    const QJsonObject refusal = QJsonDocument::fromJson(shell.readAllStandardOutput()).object();
    QCOMPARE(refusal.value(QStringLiteral("exit_code")).toInt(), 2);
    QVERIFY2(refusal.value(QStringLiteral("error")).toString().endsWith(QStringLiteral("a\\xFF")),
             qPrintable(refusal.value(QStringLiteral("error")).toString()));
    // A kernel pseudo-file calls itself a regular file; writing it would rename the filler.
    const Outcome pseudo
        = runFiller({ QStringLiteral("--force"), QStringLiteral("/proc/self/comm"), QStringLiteral("1K") });
    QCOMPARE(pseudo.code, 2);
    QVERIFY2(pseudo.err.contains(QStringLiteral("kernel")), qPrintable(pseudo.err));
    // A path that cannot be created is a usage error too.
    QCOMPARE(runFiller({ volume.filePath(QStringLiteral("missing/fill.dat")) }).code, 2);
    QCOMPARE(runFiller({ volume.path() }).code, 2);
}

void tst_Cli::existingFileNeedsForce()
{
    TMPFS(volume, 8 * MiB);
    const QString path = volume.filePath(QStringLiteral(".hidden"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("precious");
    }
    const Outcome refused = runFiller({ path, QStringLiteral("2K") });
    QCOMPARE(refused.code, 2);
    QVERIFY(refused.err.contains(QStringLiteral("--force")));
    QCOMPARE(fileSize(path), qint64(8));
    QCOMPARE(runFiller({ QStringLiteral("--force"), path, QStringLiteral("2K") }).code, 0);
    QCOMPARE(fileSize(path), 2 * KiB);
}

void tst_Cli::headerCutShortLeavesNoPartialHeader()
{
    // A file-size limit of 512 bytes stops the header block halfway, as a tiny allocation unit or
    // a byte quota would.
    if (QStandardPaths::findExecutable(QStringLiteral("prlimit")).isEmpty()) {
        QSKIP("prlimit (util-linux) is not installed");
    }
    TMPFS(volume, MiB);
    const QString existing = volume.filePath(QStringLiteral("existing.dat"));
    const QString fresh = volume.filePath(QStringLiteral("fresh.dat"));
    QVERIFY(writeFile(existing, QByteArray(4096, 'x')));
    auto limited = [](const QStringList& arguments) {
        QProcess process;
        process.start(QStringLiteral("prlimit"),
                      QStringList { QStringLiteral("--fsize=512"), QStringLiteral(TALLOWMERE_FILL) } + arguments);
        process.waitForFinished(60000);
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    };
    QCOMPARE(limited({ QStringLiteral("--force"), existing, QStringLiteral("4K") }), 2);
    // Overwriting had emptied it; it stays empty rather than keeping half a header.
    QCOMPARE(fileSize(existing), qint64(0));
    QCOMPARE(limited({ fresh, QStringLiteral("4K") }), 2);
    QCOMPARE(fileSize(fresh), qint64(-1));
}

void tst_Cli::jsonSummary()
{
    TMPFS(volume, 8 * MiB);
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    const Outcome outcome = runFiller({ QStringLiteral("--json"), path, QStringLiteral("3M") });
    QCOMPARE(outcome.code, 0);
    QCOMPARE(outcome.out.count(u'\n'), 1);
    QJsonParseError error;
    const QJsonObject summary = QJsonDocument::fromJson(outcome.out.toUtf8(), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(summary.value(QStringLiteral("path")).toString(), path);
    QCOMPARE(summary.value(QStringLiteral("bytes_written")).toInteger(), 3 * MiB);
    QCOMPARE(summary.value(QStringLiteral("bytes_available")).toInteger(), volume.available());
    QCOMPARE(summary.value(QStringLiteral("reason")).toString(), QStringLiteral("target reached"));
    QCOMPARE(summary.value(QStringLiteral("exit_code")).toInt(), 0);
    QVERIFY(summary.value(QStringLiteral("seconds")).toDouble() >= 0);

    // Refused before the run, a script still gets a summary, and the file is left alone.
    const Outcome refused = runFiller({ QStringLiteral("--json"), path, QStringLiteral("1M") });
    QCOMPARE(refused.code, 2);
    const QJsonObject refusal = QJsonDocument::fromJson(refused.out.toUtf8(), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(refusal.value(QStringLiteral("exit_code")).toInt(), 2);
    QCOMPARE(refusal.value(QStringLiteral("bytes_written")).toInteger(), 0);
    QCOMPARE(refusal.value(QStringLiteral("reason")).toString(), QStringLiteral("error"));
    QVERIFY(refusal.value(QStringLiteral("error")).toString().contains(QStringLiteral("--force")));
    QCOMPARE(fileSize(path), 3 * MiB);

    // So are arguments it cannot read, wherever --json stands among them.
    for (const QStringList& arguments : { QStringList { QStringLiteral("--json"), path, QStringLiteral("3Q") },
                                          QStringList { QStringLiteral("--bogus"), path, QStringLiteral("--json") } }) {
        const Outcome bad = runFiller(arguments);
        QCOMPARE(bad.code, 2);
        const QJsonObject badSummary = QJsonDocument::fromJson(bad.out.toUtf8(), &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(badSummary.value(QStringLiteral("exit_code")).toInt(), 2);
        QCOMPARE(badSummary.value(QStringLiteral("reason")).toString(), QStringLiteral("error"));
        QVERIFY(!badSummary.value(QStringLiteral("error")).toString().isEmpty());
        QVERIFY(bad.err.contains(QStringLiteral("--help")));
    }
    QCOMPARE(fileSize(path), 3 * MiB);

    // Redirected to the volume being filled, the summary finds no room: not a success.
    QVERIFY(QFile::remove(path));
    QProcess process;
    process.setStandardOutputFile(volume.filePath(QStringLiteral("summary.json")));
    process.start(QStringLiteral(TALLOWMERE_FILL), { QStringLiteral("--json"), path });
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 4);
    QVERIFY(
        QString::fromLocal8Bit(process.readAllStandardError()).contains(QStringLiteral("cannot write the summary")));
    QCOMPARE(fileSize(volume.filePath(QStringLiteral("summary.json"))), qint64(0));
}

void tst_Cli::interruptedKeepsWholeBlocks_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<int>("code");
    QTest::newRow("SIGINT") << "SIGINT" << 130;
    QTest::newRow("SIGTERM") << "SIGTERM" << 130;
    QTest::newRow("SIGHUP") << "SIGHUP" << 129;
    QTest::newRow("SIGQUIT") << "SIGQUIT" << 131;
    QTest::newRow("file deleted by another program") << "delete" << 4;
}

void tst_Cli::interruptedKeepsWholeBlocks()
{
    QFETCH(QString, what);
    QFETCH(int, code);
    TMPFS(volume, 4096 * MiB);
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    const QMap<QString, int> numbers {
        { "SIGINT", SIGINT }, { "SIGTERM", SIGTERM }, { "SIGHUP", SIGHUP }, { "SIGQUIT", SIGQUIT }
    };
    QString summary;
    const int exitCode = interruptRun(
        path,
        [&](QProcess& process) {
            if (what == QLatin1String("delete")) {
                QFile::remove(path);
            } else {
                ::kill(static_cast<pid_t>(process.processId()), numbers.value(what));
            }
        },
        &summary);
    QCOMPARE(exitCode, code);
    if (what == QLatin1String("delete")) {
        QVERIFY(volume.available() > 4000 * MiB); // nothing left filling the volume unseen
        return;
    }
    QVERIFY2(summary.contains(QStringLiteral("interrupted")), qPrintable(summary));
    const qint64 size = fileSize(path);
    QVERIFY(size < 4096 * MiB && volume.available() > 0);
    const QString problem = checkFillFile(path, size);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void tst_Cli::sameFileAsTheWindow()
{
    TMPFS(volume, 16 * MiB);
    const QString byWindow = volume.filePath(QStringLiteral("window.dat"));
    const QString byCli = volume.filePath(QStringLiteral("cli.dat"));
    FakeDesktop desktop;
    platform::SettingsStore store(volume.filePath(QStringLiteral("settings.ini")));
    MF mf(desktop, store);
    mf.Text1[0]->setText(byWindow);
    mf.Text1[1]->setText(QStringLiteral("3"));
    mf.Option1[1]->setChecked(true);
    mf.MK_FILE();
    QCOMPARE(runFiller({ byCli, QStringLiteral("3M") }).code, 0);
    QFile a(byWindow);
    QFile b(byCli);
    QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
    QCOMPARE(a.size(), 3 * MiB);
    QVERIFY(a.readAll() == b.readAll());
}

void tst_Cli::helpAndVersion()
{
    // Run on a small volume, so were an option taken for a PATH it could fill nothing else.
    TMPFS(volume, MiB);
    const Outcome help = runFiller({ QStringLiteral("--help") }, volume.path());
    QCOMPARE(help.code, 0);
    QVERIFY(help.out.startsWith(QStringLiteral("Usage: tallowmere-fill")));
    const Outcome shortHelp = runFiller({ QStringLiteral("-h") }, volume.path());
    QCOMPARE(shortHelp.code, 0);
    QCOMPARE(shortHelp.out, help.out);
    const Outcome version = runFiller({ QStringLiteral("--version") }, volume.path());
    QCOMPARE(version.code, 0);
    QCOMPARE(version.out, QStringLiteral("tallowmere-fill 1.3.14\n"));
    QVERIFY(QDir(volume.path()).isEmpty());
}

QTEST_MAIN(tst_Cli)
#include "tst_cli.moc"
