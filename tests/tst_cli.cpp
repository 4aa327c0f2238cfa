#include "app/mainwindow.h"
#include "cli/fillcommand.h"
#include "cli/leavepolicy.h"
#include "cli/progress.h"
#include "fill/fillengine.h"
#include "platform/filesystem.h"
#include "platform/fillfolder.h"
#include "platform/isolate.h"
#include "platform/outputfile.h"
#include "productinfo.h"

#include "fakedesktop.h"
#include "fillfile.h"
#include "sizes.h"
#include "tmpfs.h"
#include "windowfixture.h"
#include "windowparts.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QMap>
#include <QProcess>
#include <QRadioButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <atomic>
#include <limits>
#include <memory>
#include <thread>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

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

// runFiller() while a thread reads the available bytes of the volume at path about every millisecond;
// lowest: the fewest seen.
Outcome runFillerWatched(const QStringList& arguments, const QString& path, qint64* lowest)
{
    std::atomic<bool> done = false;
    std::atomic<qint64> least = std::numeric_limits<qint64>::max();
    std::thread watch([&] {
        while (!done) {
            least = std::min(least.load(), availableAt(path));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const Outcome outcome = runFiller(arguments);
    done = true;
    watch.join();
    *lowest = least;
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

// A volume of the kind a row names: a tmpfs, a btrfs image, or an ext4 image (with mkfs.ext4's
// options after "ext4", separated by blanks).
class Volume
{
public:
    Volume(const QString& kind, qint64 bytes)
    {
        if (kind == QLatin1String("tmpfs")) {
            m_tmpfs = std::make_unique<Tmpfs>(bytes);
        } else if (kind.startsWith(QLatin1String("tmpfs "))) {
            m_tmpfs = std::make_unique<Tmpfs>(bytes, kind.mid(6));
        } else if (kind == QLatin1String("btrfs")) {
            m_image = std::make_unique<BtrfsVolume>(bytes);
        } else {
            m_image = std::make_unique<Ext4Volume>(bytes, kind.split(u' ', Qt::SkipEmptyParts).mid(1), QString());
        }
    }
    bool isMounted() const { return m_tmpfs ? m_tmpfs->isMounted() : m_image->isMounted(); }
    QString error() const { return m_tmpfs ? m_tmpfs->error() : m_image->error(); }
    QString path() const { return m_tmpfs ? m_tmpfs->path() : m_image->path(); }
    QString filePath(const QString& name) const { return path() + u'/' + name; }
    qint64 available() const { return availableAt(path()); }

    // Why a volume of this kind cannot be had here; empty when it can.
    static QString unavailable(const QString& kind)
    {
        if (kind.startsWith(QLatin1String("tmpfs"))) {
            return mountingUnavailable();
        }
        const QString why = diskImagesUnavailable();
        return why.isEmpty() && kind == QLatin1String("btrfs") ? BtrfsVolume::unavailable() : why;
    }

private:
    std::unique_ptr<Tmpfs> m_tmpfs;
    std::unique_ptr<ImageVolume> m_image;
};

#define VOLUME(var, kind, bytes)                                                                                       \
    if (const QString why = Volume::unavailable(kind); !why.isEmpty())                                                 \
        QSKIP(qPrintable(why));                                                                                        \
    Volume var(kind, bytes);                                                                                           \
    QVERIFY2(var.isMounted(), qPrintable(var.error()));

// Waits until ready() holds for what the started process printed on stderr so far; false when it
// ended first or a minute passed. err: what it printed.
bool readUntil(QProcess& process, const std::function<bool(const QString& err)>& ready, QString* err = nullptr)
{
    QString text;
    QElapsedTimer timer;
    timer.start();
    bool found = false;
    if (process.waitForStarted()) {
        while (process.state() == QProcess::Running && !(found = ready(text)) && timer.elapsed() < 60000) {
            process.waitForReadyRead(20);
            text += QString::fromLocal8Bit(process.readAllStandardError());
        }
    }
    if (err) {
        *err = text;
    }
    return found;
}

// Starts the filler, waits until ready() holds for what it printed on stderr so far (or it ended),
// then sends it signal (none when 0; below 0, -signal to its process group) and waits for its end.
Outcome runAndSignal(const QStringList& arguments, const std::function<bool(const QString& err)>& ready, int signal,
                     const QStringList& prefix = {})
{
    QProcess process;
    if (prefix.isEmpty()) {
        process.start(QStringLiteral(TALLOWMERE_FILL), arguments);
    } else {
        process.start(prefix.first(), prefix.mid(1) + QStringList { QStringLiteral(TALLOWMERE_FILL) } + arguments);
    }
    Outcome outcome;
    if (!readUntil(process, ready, &outcome.err) && process.state() == QProcess::NotRunning
        && process.error() == QProcess::FailedToStart) {
        return outcome;
    }
    if (signal != 0) {
        const auto pid = static_cast<pid_t>(process.processId());
        // A second signal in the next byte is sent right after the first.
        for (int each = std::abs(signal); each != 0; each >>= 8) {
            ::kill(signal > 0 ? pid : -pid, each & 0xff);
        }
    }
    process.waitForFinished(60000);
    outcome.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    outcome.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    outcome.err += QString::fromLocal8Bit(process.readAllStandardError());
    return outcome;
}

// Every entry below dir with its times and a hash of its content, and what dir's volume has available.
QString snapshot(const QString& dir)
{
    QStringList entries { QString::number(availableAt(dir)) };
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    for (QString path = dir; !path.isEmpty(); path = it.hasNext() ? it.next() : QString()) {
        const QFileInfo info(path);
        entries << QStringLiteral("%1 %2 %3 %4")
                       .arg(path)
                       .arg(qHash(readFile(path)))
                       .arg(info.fileTime(QFileDevice::FileModificationTime).toMSecsSinceEpoch())
                       .arg(info.fileTime(QFileDevice::FileAccessTime).toMSecsSinceEpoch());
    }
    entries.sort();
    return entries.join(u'\n');
}

QJsonObject lastJsonLine(const QString& text)
{
    const QStringList lines = text.split(u'\n', Qt::SkipEmptyParts);
    return lines.isEmpty() ? QJsonObject() : QJsonDocument::fromJson(lines.last().toUtf8()).object();
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
    void leaveStepsDownToTheFloor_data();
    void leaveStepsDownToTheFloor();
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

    void parsedModes_data();
    void parsedModes();
    void verdicts_data();
    void verdicts();
    void progressReports();
    void runExitCodes_data();
    void runExitCodes();
    void holdReleases_data();
    void holdReleases();
    void killedHoldIsCleaned_data();
    void killedHoldIsCleaned();
    void cleanUpOfADeepTree();
    void quota_data();
    void quota();
    void compressingVolume_data();
    void compressingVolume();
    void inodes_data();
    void inodes();
    void usedAsDfShows_data();
    void usedAsDfShows();
    void allocate_data();
    void allocate();
    void isolate_data();
    void isolate();
    void isolateFollowsNoLinkSwappedIn();
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
    QTest::newRow("run takes the rest") << QStringList { "f", "1K", "--run", "sh", "-x", "--bogus" } << true << KiB;
    QTest::newRow("run without a command") << QStringList { "f", "--run" } << false << qint64(-1);
    QTest::newRow("hold, then SIZE taken for a duration") << QStringList { "f", "--hold", "90" } << true << qint64(-1);
    QTest::newRow("SIZE before hold") << QStringList { "f", "3M", "--hold" } << true << 3 * MiB;
    QTest::newRow("bad duration") << QStringList { "f", "--hold=5x" } << false << qint64(-1);
    QTest::newRow("duration too long, not a SIZE")
        << QStringList { "f", "--hold", "99999999999" } << false << qint64(-1);
    QTest::newRow("hold and run") << QStringList { "f", "--hold", "--run", "true" } << false << qint64(-1);
    QTest::newRow("keep alone") << QStringList { "f", "--keep" } << false << qint64(-1);
    QTest::newRow("top-up alone") << QStringList { "f", "--top-up" } << false << qint64(-1);
    QTest::newRow("clean") << QStringList { "--clean", "d", "--recursive", "--dry-run", "--inodes" } << true
                           << qint64(-1);
    QTest::newRow("clean with a PATH") << QStringList { "--clean", "d", "f" } << false << qint64(-1);
    QTest::newRow("recursive without clean") << QStringList { "f", "--recursive" } << false << qint64(-1);
    QTest::newRow("inodes with a size") << QStringList { "d", "1M", "--inodes" } << false << qint64(-1);
    QTest::newRow("leave-inodes alone") << QStringList { "f", "--leave-inodes", "3" } << false << qint64(-1);
    QTest::newRow("used") << QStringList { "f", "--used", "40%" } << true << qint64(-1);
    QTest::newRow("used 0%") << QStringList { "f", "--used", "0%" } << false << qint64(-1);
    QTest::newRow("used and leave") << QStringList { "f", "--used", "40", "--leave", "1M" } << false << qint64(-1);
    QTest::newRow("progress json") << QStringList { "f", "--progress", "json" } << true << qint64(-1);
    QTest::newRow("progress bad") << QStringList { "f", "--progress", "loud" } << false << qint64(-1);
    QTest::newRow("data bad") << QStringList { "f", "--data", "zeros" } << false << qint64(-1);
    QTest::newRow("isolate") << QStringList { "--isolate", "d", "--leave", "1M", "--inodes", "--keep", "--run", "true" }
                             << true << qint64(-1);
    QTest::newRow("isolate without run") << QStringList { "--isolate", "d", "--leave", "1M" } << false << qint64(-1);
    QTest::newRow("isolate, hold") << QStringList { "--isolate", "d", "--hold", "--run", "true" } << false
                                   << qint64(-1);
    for (const char* other : { "--top-up", "--allocate", "--used=5%", "--data=ones", "--clean=d", "--leave=5%", "f",
                               "--leave-inodes=1125899906842625" }) {
        QTest::addRow("isolate, %s", other)
            << QStringList { "--isolate", "d", "--inodes", other, "--run", "true" } << false << qint64(-1);
    }
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
    DISK_IMAGES_OR_SKIP();
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

void tst_Cli::leaveStepsDownToTheFloor_data()
{
    QTest::addColumn<qint64>("room"); // available above the floor at the start
    QTest::addColumn<bool>("late"); // the volume counts what is written only once settled (btrfs)
    QTest::newRow("just above the slack") << 4 * MiB + 500 << false;
    QTest::newRow("a block above the slack") << 4 * MiB + 1124 << false;
    QTest::newRow("far, counted at once") << 100 * MiB + 123 << false;
    QTest::newRow("far, counted late") << 300 * MiB + 123 << true;
}

// The runs a fill makes under the policy, on a volume of 4 KiB units simulated here: the floor is
// never broken on the way, and met within a unit at the end.
void tst_Cli::leaveStepsDownToTheFloor()
{
    QFETCH(qint64, room);
    QFETCH(bool, late);
    constexpr qint64 leave = 10 * MiB + 7;
    const qint64 total = leave + room + 4 * KiB; // the header block's unit is taken
    qint64 written = KiB;
    qint64 counted = 4 * KiB;
    const auto taken = [&written] { return (written + 4 * KiB - 1) / (4 * KiB) * (4 * KiB); };
    cli::LeavePolicy policy(
        leave,
        [&] {
            return std::optional(
                platform::VolumeSpace { total - (late ? counted : taken()), 0, total, 4 * KiB, 0, -1 });
        },
        [&](qint64) { counted = taken(); });
    qint64 lowest = total;
    for (qint64 limit; taken() < total && (limit = policy.runLimit(written) / KiB * KiB) >= KiB;) {
        written = std::min(written + std::min(limit, MiB), total); // a full volume takes no more
        lowest = std::min(lowest, total - taken());
    }
    QVERIFY2(lowest >= leave, qPrintable(QString::number(lowest - leave)));
    QVERIFY2(total - taken() < leave + 4 * KiB, qPrintable(QString::number(total - taken() - leave)));
}

// The last blocks of a fill may take more than they seemed, and blocks are given back. During the run
// the file was renamed and a user's file put at its name: the blocks come off the fill file, through
// its open handle, and the user's file is not touched.
void tst_Cli::giveBackGoesThroughTheOpenFile()
{
    DISK_IMAGES_OR_SKIP();
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
        [&volume](qint64) { platform::settleVolume({}, volume.path()); });
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
    DISK_IMAGES_OR_SKIP();
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
           QStringList { path, QStringLiteral("1M"), QStringLiteral("--bogus") },
           QStringList { QStringLiteral("--clean"), volume.filePath(QStringLiteral("missing")) } }) {
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
    // A pipe with a reader is refused untouched: the reader never sees a writer come and go.
    const QByteArray pipe = QFile::encodeName(volume.filePath(QStringLiteral("pipe")));
    QCOMPARE(::mkfifo(pipe.constData(), 0644), 0);
    pollfd reader { ::open(pipe.constData(), O_RDONLY | O_NONBLOCK), POLLIN, 0 };
    QVERIFY(reader.fd >= 0);
    QCOMPARE(
        runFiller({ QStringLiteral("--force"), volume.filePath(QStringLiteral("pipe")), QStringLiteral("1K") }).code,
        2);
    QCOMPARE(::poll(&reader, 1, 0), 0);
    ::close(reader.fd);
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
    QCOMPARE(summary.value(QStringLiteral("version")).toInt(), 1);
    QCOMPARE(summary.value(QStringLiteral("filesystem")).toString(), QStringLiteral("tmpfs"));
    QCOMPARE(summary.value(QStringLiteral("bytes_available_before")).toInteger(), volume.available() + 3 * MiB);
    QCOMPARE(summary.value(QStringLiteral("method")).toString(), QStringLiteral("write"));

    // Random data after the header block, the header as always.
    const QString random = volume.filePath(QStringLiteral("random.dat"));
    const Outcome randomly = runFiller({ QStringLiteral("--json"), random, QStringLiteral("64K"),
                                         QStringLiteral("--data"), QStringLiteral("random") });
    QCOMPARE(randomly.code, 0);
    QCOMPARE(lastJsonLine(randomly.out).value(QStringLiteral("data")).toString(), QStringLiteral("random"));
    const QByteArray data = readFile(random);
    QCOMPARE(data.size(), 64 * KiB);
    QCOMPARE(data.left(1024), readFile(path).left(1024));
    QVERIFY(data.mid(1024).count('\xff') < 1024); // about 1 in 256 bytes by chance
    QVERIFY(QFile::remove(random));

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

    // Started with standard output and error closed, nothing it says lands in the fill file.
    const QString closed = volume.filePath(QStringLiteral("closed.dat"));
    QProcess shell;
    shell.start(QStringLiteral("sh"),
                { QStringLiteral("-c"),
                  QStringLiteral("exec \"$0\" \"$1\" 3M --progress text --hold 0.2 --keep >&- 2>&-"),
                  QStringLiteral(TALLOWMERE_FILL), closed });
    QVERIFY(shell.waitForFinished(60000));
    QCOMPARE(shell.exitCode(), 0);
    const QString problem = checkFillFile(closed, 3 * MiB);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QVERIFY(QFile::remove(closed));

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
    // Nor does the list of a clean-up.
    process.start(QStringLiteral(TALLOWMERE_FILL),
                  { QStringLiteral("--clean"), volume.path(), QStringLiteral("--dry-run") });
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 4);
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
    QTest::newRow("clean-up, SIGTERM") << "clean" << 130;
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
    if (what == QLatin1String("clean")) {
        // A clean-up stops at the next file. Its output is not read, so once the pipe is full it
        // waits in the middle of its work for the signal.
        constexpr int files = 3000;
        for (int i = 0; i < files; ++i) {
            QVERIFY(writeFile(volume.filePath(QString::number(i)), fill::headerBlock()));
        }
        QProcess process;
        process.start(QStringLiteral(TALLOWMERE_FILL), { QStringLiteral("--clean"), volume.path() });
        QVERIFY(process.waitForStarted());
        QElapsedTimer timer;
        timer.start();
        while (QDir(volume.path()).entryList(QDir::Files).size() > files - 500 && timer.elapsed() < 30000) {
            QTest::qSleep(5);
        }
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitCode(), code);
        const QStringList removed
            = QString::fromLocal8Bit(process.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
        QVERIFY2(removed.size() >= 500 && removed.size() < files, qPrintable(QString::number(removed.size())));
        QCOMPARE(QDir(volume.path()).entryList(QDir::Files).size(), files - removed.size());
        QVERIFY(!QFileInfo::exists(removed.last()));
        return;
    }
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
    MainWindow window(desktop, store);
    pathEdit(window)->setText(byWindow);
    sizeEdit(window)->setText(QStringLiteral("3"));
    mbButton(window)->setChecked(true);
    QVERIFY(finishRun(window));
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
    QCOMPARE(version.out,
             QStringLiteral("tallowmere-fill %1.%2.%3\n")
                 .arg(ProductInfo::major)
                 .arg(ProductInfo::minor)
                 .arg(ProductInfo::revision));
    QVERIFY(QDir(volume.path()).isEmpty());
}

void tst_Cli::parsedModes_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("parsed");
    QTest::newRow("hold 5m") << QStringList { "f", "--hold", "5m" } << "hold=300";
    QTest::newRow("hold=2h") << QStringList { "--hold=2h", "f" } << "hold=7200";
    QTest::newRow("hold alone") << QStringList { "--hold", "f" } << "hold=until a signal";
    QTest::newRow("a SIZE is no duration") << QStringList { "f", "--hold", "3M" } << "hold=until a signal size=3145728";
    QTest::newRow("the command keeps its options")
        << QStringList { "--top-up", "f", "--run", "cmd", "--json", "--", "x" } << "top-up command=cmd|--json|--|x";
    QTest::newRow("used, data, allocate")
        << QStringList { "f", "--used=40", "--data", "random", "--allocate" } << "used=40 random allocate";
}

void tst_Cli::parsedModes()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, parsed);
    QString error;
    const auto options = cli::parseArguments(arguments, &error);
    QVERIFY2(options, qPrintable(error));
    QStringList seen;
    if (options->hold) {
        seen << QStringLiteral("hold=")
                + (options->holdSeconds ? QString::number(*options->holdSeconds) : QStringLiteral("until a signal"));
    }
    if (options->size) {
        seen << QStringLiteral("size=%1").arg(*options->size);
    }
    if (options->topUp) {
        seen << QStringLiteral("top-up");
    }
    if (!options->command.isEmpty()) {
        seen << QStringLiteral("command=") + options->command.join(u'|');
    }
    if (options->usedPercent) {
        seen << QStringLiteral("used=%1").arg(*options->usedPercent);
    }
    if (options->data == fill::Data::Random) {
        seen << QStringLiteral("random");
    }
    if (options->allocate) {
        seen << QStringLiteral("allocate");
    }
    QCOMPARE(seen.join(u' '), parsed);
}

void tst_Cli::verdicts_data()
{
    QTest::addColumn<int>("outcome");
    QTest::addColumn<bool>("quota");
    QTest::addColumn<qint64>("size"); // -1: none
    QTest::addColumn<qint64>("leave"); // -1: none
    QTest::addColumn<qint64>("available");
    QTest::addColumn<qint64>("settled"); // available at the run's own last settled reading; -1: not known
    QTest::addColumn<int>("signal");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<int>("code");
    const int full = int(fill::Outcome::DiskFull);
    const int reached = int(fill::Outcome::TargetReached);
    QTest::newRow("volume full, as asked")
        << full << false << qint64(-1) << qint64(-1) << qint64(0) << qint64(-1) << 0 << "disk full" << 0;
    QTest::newRow("volume full before the size")
        << full << false << MiB << qint64(-1) << qint64(0) << qint64(-1) << 0 << "disk full" << 3;
    QTest::newRow("quota full, as asked")
        << full << true << qint64(-1) << qint64(-1) << MiB << qint64(-1) << 0 << "quota" << 0;
    QTest::newRow("quota full before the size")
        << full << true << MiB << qint64(-1) << MiB << qint64(-1) << 0 << "quota" << 3;
    QTest::newRow("quota full above the floor")
        << full << true << qint64(-1) << KiB << MiB << qint64(-1) << 0 << "quota" << 3;
    QTest::newRow("target") << reached << false << MiB << qint64(-1) << MiB << qint64(-1) << 0 << "target reached" << 0;
    QTest::newRow("floor before the size") << reached << false << 4 * MiB << MiB << MiB << qint64(-1) << 0
                                           << "space to leave reached before the size" << 3;
    QTest::newRow("floor broken") << reached << false << qint64(-1) << MiB << KiB << qint64(-1) << 0
                                  << "space to leave not kept" << 3;
    // Another program freed space after the run had met the floor.
    QTest::newRow("floor met, then space freed")
        << reached << false << qint64(-1) << MiB << 2 * MiB << MiB + KiB << 0 << "target reached" << 0;
    QTest::newRow("floor missed by more than a unit")
        << reached << false << qint64(-1) << MiB << MiB + 64 * KiB << qint64(-1) << 0 << "space to leave missed" << 3;
    QTest::newRow("SIGINT") << int(fill::Outcome::Stopped) << false << qint64(-1) << qint64(-1) << MiB << qint64(-1)
                            << SIGINT << "interrupted" << 130;
    QTest::newRow("SIGHUP") << int(fill::Outcome::Stopped) << false << qint64(-1) << qint64(-1) << MiB << qint64(-1)
                            << SIGHUP << "interrupted" << 129;
    QTest::newRow("write failed") << int(fill::Outcome::WriteFailed) << false << qint64(-1) << qint64(-1) << MiB
                                  << qint64(-1) << 0 << "error" << 4;
    QTest::newRow("header failed") << int(fill::Outcome::HeaderFailed) << false << qint64(-1) << qint64(-1) << MiB
                                   << qint64(-1) << 0 << "error" << 2;
}

void tst_Cli::verdicts()
{
    QFETCH(int, outcome);
    QFETCH(bool, quota);
    QFETCH(qint64, size);
    QFETCH(qint64, leave);
    QFETCH(qint64, available);
    QFETCH(qint64, settled);
    QFETCH(int, signal);
    QFETCH(QString, reason);
    QFETCH(int, code);
    const cli::Verdict verdict
        = cli::verdictFor({ fill::Outcome(outcome), quota, signal, 2 * MiB,
                            size >= 0 ? std::optional(size) : std::nullopt, leave, available, 4 * KiB, settled });
    QCOMPARE(verdict.reason, reason);
    QCOMPARE(verdict.code, code);
}

// About four reports a second, each one JSON object, with a rate and an estimate a program can use.
void tst_Cli::progressReports()
{
    std::FILE* stream = std::tmpfile();
    QVERIFY(stream);
    cli::Progress progress(cli::Progress::Style::Json, 1000 * MiB, stream);
    QVERIFY(!progress.update(100 * MiB, 0.1));
    QVERIFY(progress.update(250 * MiB, 0.3));
    QVERIFY(!progress.update(300 * MiB, 0.4));
    QVERIFY(progress.update(500 * MiB, 0.55));
    progress.finish(600 * MiB, 0.6); // the final count, though the last report is recent
    std::rewind(stream);
    QByteArray text(4096, '\0');
    text.truncate(static_cast<qsizetype>(std::fread(text.data(), 1, static_cast<size_t>(text.size()), stream)));
    std::fclose(stream);
    const QList<QByteArray> lines = text.trimmed().split('\n');
    QCOMPARE(lines.size(), 3);
    const QJsonObject second = QJsonDocument::fromJson(lines[1]).object();
    QCOMPARE(second.value(QStringLiteral("bytes_written")).toInteger(), 500 * MiB);
    QCOMPARE(second.value(QStringLiteral("goal_bytes")).toInteger(), 1000 * MiB);
    QCOMPARE(second.value(QStringLiteral("bytes_per_second")).toDouble(), 1000.0 * MiB); // 250 MiB in 0.25 s
    QVERIFY(qAbs(second.value(QStringLiteral("eta_seconds")).toDouble() - 0.55) < 0.06); // at the average rate
    QCOMPARE(QJsonDocument::fromJson(lines[2]).object().value(QStringLiteral("bytes_written")).toInteger(), 600 * MiB);

    cli::Progress unknown(cli::Progress::Style::Json, 0, stdout);
    QVERIFY(unknown.json(MiB, 1).contains(QStringLiteral("\"eta_seconds\":null")));
    cli::Progress files(cli::Progress::Style::Json, 0, stdout, cli::Progress::Unit::Files);
    QVERIFY(files.json(300, 1).contains(QStringLiteral("\"files_made\":300,")));
    cli::Progress shown(cli::Progress::Style::Text, 4 * MiB, stdout);
    QVERIFY2(shown.text(MiB, 1).contains(QStringLiteral("1.0 MiB written  25.0 %")), qPrintable(shown.text(MiB, 1)));
}

void tst_Cli::runExitCodes_data()
{
    QTest::addColumn<QString>("volume");
    QTest::addColumn<QStringList>("before"); // arguments before --run
    QTest::addColumn<QString>("command"); // a shell command; MARK is a file on another volume
    QTest::addColumn<int>("signal"); // sent to the filler once MARK exists
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("ran");
    QTest::addColumn<bool>("kept");

    // The command sees a full volume and the documented variables.
    const QString checks = QStringLiteral(
        "touch MARK && test \"$(stat -c %s \"$TALLOWMERE_FILL_FILE\")\" = \"$TALLOWMERE_FILL_BYTES\" && "
        "test \"$TALLOWMERE_AVAILABLE_BYTES\" -lt 1024 && test \"$(stat -f -c %a \"$TALLOWMERE_FILL_FILE\")\" = 0");
    QTest::newRow("tmpfs: 0, full volume") << "tmpfs" << QStringList() << checks << 0 << 0 << true << false;
    QTest::newRow("ext4: 0, full volume") << "ext4" << QStringList() << checks << 0 << 0 << true << false;
    QTest::newRow("exit 7") << "ext4" << QStringList() << "touch MARK; exit 7" << 0 << 7 << true << false;
    QTest::newRow("killed by SIGKILL") << "tmpfs" << QStringList() << "touch MARK; kill -KILL $$" << 0 << 137 << true
                                       << false;
    QTest::newRow("not found") << "tmpfs" << QStringList() << "" << 0 << 127 << false << false;
    QTest::newRow("script not executable") << "tmpfs" << QStringList() << "#!/bin/sh" << 0 << 126 << false << false;
    QTest::newRow("script without #!") << "tmpfs" << QStringList() << "touch MARK; exit 7" << 0 << 7 << true << false;
    QTest::newRow("SIGINT forwarded") << "ext4" << QStringList() << "touch MARK; exec sleep 30" << SIGINT << 130 << true
                                      << false;
    QTest::newRow("SIGHUP forwarded") << "tmpfs" << QStringList() << "touch MARK; exec sleep 30" << SIGHUP << 129
                                      << true << false;
    // As under nohup: the hang-up neither cuts the hold short nor reaches COMMAND, which still ignores it.
    QTest::newRow("SIGHUP ignored from the start stays ignored")
        << "tmpfs" << QStringList { "HUP-IGNORED" } << "touch MARK; sleep 0.5; kill -HUP $$; exit 7" << SIGHUP << 7
        << true << false;
    QTest::newRow("SIGTERM forwarded and handled")
        << "tmpfs" << QStringList() << "trap 'exit 0' TERM; touch MARK; while :; do sleep 0.05; done" << SIGTERM << 0
        << true << false;
    QTest::newRow("SIGTERM reaches a stopped COMMAND")
        << "tmpfs" << QStringList() << "(sleep 0.3; touch MARK) & kill -STOP $$; exit 7" << SIGTERM << 143 << true
        << false;
    // As CI runners and service managers stop a job: the command counts the SIGTERMs it gets.
    QTest::newRow("SIGTERM to the filler's process group reaches COMMAND once")
        << "tmpfs" << QStringList()
        << "trap 'n=$((n+1))' TERM; touch MARK; while [ ${n:-0} = 0 ]; do sleep 0.05; done; sleep 0.5; exit $n"
        << -SIGTERM << 1 << true << false;
    // Two signals sent back to back both reach COMMAND, once each and in order.
    QTest::newRow("SIGINT and SIGTERM back to back")
        << "tmpfs" << QStringList()
        << "trap 's=${s}I' INT; trap 's=${s}T' TERM; touch MARK; while [ ${#s} -lt 2 ]; do sleep 0.05; done; "
           "sleep 0.3; test $s = IT"
        << (SIGINT | SIGTERM << 8) << 0 << true << false;
    // MARK holds the number of a process COMMAND started: it does not outlive the run.
    QTest::newRow("COMMAND's children end with it")
        << "tmpfs" << QStringList() << "sleep 37 & echo $! > MARK; wait" << SIGTERM << 143 << true << false;
    QTest::newRow("what COMMAND left running is ended")
        << "ext4" << QStringList() << "sleep 37 & echo $! > MARK" << 0 << 0 << true << false;
    QTest::newRow("COMMAND ends with a filler killed outright")
        << "tmpfs" << QStringList { "2M" } << "echo $$ > MARK; exec sleep 37" << -SIGKILL << -1 << true << true;
    // In a group of its own, COMMAND holds the terminal while it runs.
    QTest::newRow("COMMAND reads the terminal")
        << "tmpfs" << QStringList() << "read line && test \"$line\" = typed && touch MARK" << 0 << 0 << true << false;
    // Ctrl-C reaches the script that started the filler too, as when COMMAND did not hold the terminal.
    QTest::newRow("terminal's Ctrl-C") << "tmpfs" << QStringList() << "touch MARK; sleep 30" << 0 << 8 << true << false;
    QTest::newRow("fill short of SIZE: not run")
        << "tmpfs" << QStringList { "1G" } << "touch MARK" << 0 << 3 << false << false;
    QTest::newRow("file exists: not run")
        << "tmpfs" << QStringList { "EXISTS" } << "touch MARK" << 0 << 2 << false << true;
    QTest::newRow("keep") << "ext4" << QStringList { "--keep", "2M" } << "touch MARK" << 0 << 0 << true << true;
    QTest::newRow("emptied by COMMAND: no top-up, left as it is")
        << "tmpfs" << QStringList { "--top-up" } << ": > \"$TALLOWMERE_FILL_FILE\"; touch MARK; sleep 0.6" << 0 << 5
        << true << true;
}

void tst_Cli::runExitCodes()
{
    QFETCH(QString, volume);
    QFETCH(QStringList, before);
    QFETCH(QString, command);
    QFETCH(int, signal);
    QFETCH(int, code);
    QFETCH(bool, ran);
    QFETCH(bool, kept);
    VOLUME(target, volume, 32 * MiB);
    TMPFS(scratch, MiB);
    const QString path = target.filePath(QStringLiteral("fill.dat"));
    const QString mark = scratch.filePath(QStringLiteral("ran"));
    QStringList run { QStringLiteral("sh"), QStringLiteral("-c"),
                      QString(command).replace(QStringLiteral("MARK"), mark) };
    if (QByteArray(QTest::currentDataTag()) == "not found") {
        run = QStringList { QStringLiteral("tallowmere-no-such-command") };
    } else if (QByteArray(QTest::currentDataTag()).startsWith("script")) {
        QVERIFY(writeFile(scratch.filePath(QStringLiteral("script")), run.last().toUtf8()));
        QVERIFY(
            code == 126
            || QFile::setPermissions(scratch.filePath(QStringLiteral("script")), QFile::ReadOwner | QFile::ExeOwner));
        run = QStringList { scratch.filePath(QStringLiteral("script")) };
    }
    const bool hupIgnored = before.removeAll(QStringLiteral("HUP-IGNORED")) > 0;
    if (before.removeAll(QStringLiteral("EXISTS"))) {
        QVERIFY(writeFile(path, "user data"));
    }
    Outcome outcome;
    if (QByteArray(QTest::currentDataTag()).contains("terminal")) {
        // script(1) gives a shell script a terminal for standard input, with a line typed on it or Ctrl-C.
        QStringList words;
        for (const QString& word :
             QStringList { QStringLiteral(TALLOWMERE_FILL), path, QStringLiteral("--run") } + run) {
            words << u'\'' + QString(word).replace(QStringLiteral("'"), QStringLiteral("'\\''")) + u'\'';
        }
        QProcess terminal;
        terminal.start(QStringLiteral("script"),
                       { QStringLiteral("-qec"), "trap 'exit 8' INT; " + words.join(u' ') + " || exit 9",
                         QStringLiteral("/dev/null") });
        QTRY_VERIFY(!QByteArray(QTest::currentDataTag()).contains("Ctrl-C") || QFile::exists(mark));
        terminal.write(QFile::exists(mark) ? "\x03" : "typed\n");
        QVERIFY(terminal.waitForFinished(60000));
        outcome.code = terminal.exitCode();
    } else {
        // A signal below 0 goes to the filler's process group.
        outcome = runAndSignal(
            QStringList { path } + before + QStringList { QStringLiteral("--run") } + run,
            [&](const QString&) { return fileSize(mark) >= 0; }, signal,
            // Whoever starts the filler may ignore SIGCHLD: the codes are COMMAND's all the same. A
            // shell starts a script's background job with SIGINT and SIGQUIT ignored: they still stop it.
            QStringList { QStringLiteral("env"),
                          hupIgnored ? QStringLiteral("--ignore-signal=CHLD,INT,QUIT,HUP")
                                     : QStringLiteral("--ignore-signal=CHLD,INT,QUIT") }
                + (signal < 0 ? QStringList { QStringLiteral("setsid") } : QStringList()));
    }
    QVERIFY2(outcome.code == code, qPrintable(QStringLiteral("exit %1: %2").arg(outcome.code).arg(outcome.err)));
    QCOMPARE(QFile::exists(mark), ran);
    QCOMPARE(QFile::exists(path), kept);
    if (const qint64 child = readFile(mark).trimmed().toLongLong(); child > 0) {
        // Gone, or a zombie where nothing reaps the processes it takes over.
        QTRY_VERIFY2(!readFile(QStringLiteral("/proc/%1/stat").arg(child)).contains(") S "),
                     "a process COMMAND started is still running");
    }
    if (!kept) {
        QVERIFY2(target.available() > 16 * MiB, qPrintable(QString::number(target.available())));
    } else if (QByteArray(QTest::currentDataTag()).startsWith("emptied")) {
        QCOMPARE(fileSize(path), qint64(0));
    } else if (ran) {
        const QString problem = checkFillFile(path, 2 * MiB);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    } else {
        QCOMPARE(readFile(path), QByteArray("user data"));
    }
}

void tst_Cli::holdReleases_data()
{
    QTest::addColumn<QString>("volume");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("signal"); // sent once the volume is held
    QTest::addColumn<int>("code");
    QTest::addColumn<qint64>("leave"); // what the held volume keeps available
    QTest::addColumn<bool>("topUp"); // space is freed during the hold
    QTest::addColumn<bool>("kept");
    QTest::newRow("for a time") << "tmpfs" << QStringList { "--hold", "0.5" } << 0 << 0 << qint64(0) << false << false;
    QTest::newRow("until SIGTERM") << "ext4" << QStringList { "--hold" } << SIGTERM << 0 << qint64(0) << false << false;
    QTest::newRow("SIGHUP cuts the time short")
        << "tmpfs" << QStringList { "--hold", "60" } << SIGHUP << 129 << qint64(0) << false << false;
    QTest::newRow("kept") << "ext4" << QStringList { "--hold=0.2", "--keep" } << 0 << 0 << qint64(0) << false << true;
    QTest::newRow("top-up, tmpfs") << "tmpfs" << QStringList { "--hold", "--top-up" } << SIGINT << 0 << qint64(0)
                                   << true << false;
    QTest::newRow("top-up keeps the space to leave")
        << "ext4" << QStringList { "--hold", "--top-up", "--leave", "2M" } << SIGTERM << 0 << 2 * MiB << true << false;
    QTest::newRow("allocated, top-up") << "ext4" << QStringList { "--allocate", "--hold", "--top-up" } << SIGTERM << 0
                                       << qint64(0) << true << false;
}

void tst_Cli::holdReleases()
{
    QFETCH(QString, volume);
    QFETCH(QStringList, arguments);
    QFETCH(int, signal);
    QFETCH(int, code);
    QFETCH(qint64, leave);
    QFETCH(bool, topUp);
    QFETCH(bool, kept);
    VOLUME(target, volume, 64 * MiB);
    const QString path = target.filePath(QStringLiteral("fill.dat"));
    const QString other = target.filePath(QStringLiteral("other"));
    QVERIFY(writeFile(other, QByteArray(4 * MiB, 'o')));
    auto held = [&] {
        const qint64 available = target.available();
        return available >= leave && available < leave + 8 * KiB;
    };
    bool heldFull = false;
    bool refilled = !topUp;
    const Outcome outcome = runAndSignal(
        QStringList { path } + arguments,
        [&](const QString& err) {
            if (!err.contains(QStringLiteral("left available"))) {
                return false;
            }
            heldFull = held();
            if (topUp) {
                QFile::remove(other);
                QProcess::execute(QStringLiteral("sync"), { QStringLiteral("-f"), target.path() });
                QElapsedTimer timer;
                timer.start();
                while (!held() && timer.elapsed() < 5000) {
                    QTest::qSleep(50);
                }
                refilled = held();
            }
            return true;
        },
        signal);
    QVERIFY2(outcome.code == code, qPrintable(QStringLiteral("exit %1: %2").arg(outcome.code).arg(outcome.err)));
    QVERIFY2(heldFull, qPrintable(QString::number(target.available())));
    QVERIFY2(refilled, qPrintable(QString::number(target.available())));
    QCOMPARE(QFile::exists(path), kept);
    if (kept) {
        const QString problem = checkFillFile(path, fileSize(path));
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    } else {
        QVERIFY(target.available() > 32 * MiB);
    }
}

// A filler killed while it holds a volume leaves its fill behind; --clean finds exactly that.
void tst_Cli::killedHoldIsCleaned_data()
{
    QTest::addColumn<QString>("volume");
    QTest::addColumn<bool>("inodes");
    QTest::addColumn<QByteArray>("name"); // given to a fill in a subfolder
    QTest::addColumn<QString>("shown"); // that fill in the list, after its folder (%1)
    const QString notText = QStringLiteral("'%1'$'\\377''.dat'");
    QTest::newRow("tmpfs") << "tmpfs" << false << QByteArray("\xff.dat") << notText;
    QTest::newRow("ext4") << "ext4" << false << QByteArray("\xff.dat") << notText;
    QTest::newRow("ext4, inodes") << "ext4 -N 512" << true << QByteArray("\xff.dat") << notText;
    QTest::newRow("tmpfs, newline") << "tmpfs" << false << QByteArray("x\nvictim") << "'%1x'$'\\n''victim'";
    QTest::newRow("tmpfs, ESC") << "tmpfs" << false << QByteArray("\x1b[31mred") << "'%1'$'\\033''[31mred'";
    QTest::newRow("tmpfs, plain") << "tmpfs" << false << QByteArray("plain.dat") << "%1plain.dat";
    QTest::newRow("tmpfs, quote") << "tmpfs" << false << QByteArray("it's.dat") << "'%1it'\\''s.dat'";
}

void tst_Cli::killedHoldIsCleaned()
{
    QFETCH(QString, volume);
    QFETCH(bool, inodes);
    QFETCH(QByteArray, name);
    QFETCH(QString, shown);
    VOLUME(target, volume, 32 * MiB);
    TMPFS(elsewhere, MiB);
    const QDir dir(target.path());
    const QByteArray header = fill::headerText();
    const QByteArray block = fill::headerBlock();
    // Beside it: a user's file, and look-alikes that each fail one test.
    QVERIFY(writeFile(dir.filePath(QStringLiteral("notes.txt")), "notes"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("not whole blocks")), block + QByteArray(1, '\xff')));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("no header")), QByteArray(2048, '\xff')));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("header line, then text")),
                      (header + "\nmy notes\n").leftJustified(2048, 'x')));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("header line, then zeros")),
                      header + QByteArray(2048 - header.size(), '\0')));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("header block, then text")), block + QByteArray(1024, 'x')));
    QVERIFY(dir.mkdir(QStringLiteral("marked otherwise")));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("marked otherwise/.tallowmere-fill")), "Maked By Somebody"));
    QVERIFY(dir.mkdir(QStringLiteral("marked, with a user's file")));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("marked, with a user's file/.tallowmere-fill")), header));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("marked, with a user's file/1")), {}));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("marked, with a user's file/notes")), {}));
    QVERIFY(dir.mkdir(QStringLiteral("sub")));
    QCOMPARE(runFiller({ dir.filePath(QStringLiteral("sub/deeper.dat")), QStringLiteral("4K") }).code, 0);
    // A name that is not text, or holds a control character, is quoted as ls quotes it.
    QCOMPARE(::rename(QFile::encodeName(dir.filePath(QStringLiteral("sub/deeper.dat"))).constData(),
                      (QFile::encodeName(dir.filePath(QStringLiteral("sub/"))) + name).constData()),
             0);
    // Fills of the other kinds: random blocks, and reserved blocks that read as zeros.
    QCOMPARE(runFiller({ dir.filePath(QStringLiteral("sub/random.dat")), QStringLiteral("64K"),
                         QStringLiteral("--data"), QStringLiteral("random") })
                 .code,
             0);
    QCOMPARE(runFiller({ dir.filePath(QStringLiteral("sub/reserved.dat")), QStringLiteral("2M"),
                         QStringLiteral("--allocate") })
                 .code,
             0);
    // Another volume mounted in a subfolder: --recursive stays on this one.
    const QString mounted = dir.filePath(QStringLiteral("mounted"));
    QVERIFY(dir.mkdir(QStringLiteral("mounted")));
    QCOMPARE(runFiller({ elsewhere.filePath(QStringLiteral("fill.dat")), QStringLiteral("4K") }).code, 0);
    QCOMPARE(::mount(QFile::encodeName(elsewhere.path()).constData(), QFile::encodeName(mounted).constData(), nullptr,
                     MS_BIND, nullptr),
             0);
    const QString fill = dir.filePath(QStringLiteral("fill"));
    QVERIFY(QFile::link(fill, dir.filePath(QStringLiteral("link to the fill"))));
    QVERIFY(
        QFile::link(dir.filePath(QStringLiteral("sub/deeper.dat")), dir.filePath(QStringLiteral("link to a fill"))));
    const QStringList mode = inodes ? QStringList { QStringLiteral("--inodes") } : QStringList();
    // A fill that is still running is left alone.
    const QString live = dir.filePath(QStringLiteral("live"));
    QProcess running;
    running.start(QStringLiteral(TALLOWMERE_FILL),
                  QStringList { live, QStringLiteral("--hold") }
                      + (inodes ? mode + QStringList { QStringLiteral("--leave-inodes"), QStringLiteral("100") }
                                : QStringList { QStringLiteral("4K") }));
    QVERIFY(readUntil(running, [](const QString& err) { return err.contains(QStringLiteral("left available")); }));
    const QStringList others = dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    const qint64 availableBefore = target.available();

    const Outcome killed = runAndSignal(
        QStringList { fill, QStringLiteral("--hold") } + mode,
        [](const QString& err) { return err.contains(QStringLiteral("left available")); }, SIGKILL);
    QCOMPARE(killed.code, -1);
    QVERIFY(QFileInfo::exists(fill));

    const Outcome listed
        = runFiller(QStringList { QStringLiteral("--clean"), target.path(), QStringLiteral("--dry-run") } + mode);
    QCOMPARE(listed.code, 4);
    QCOMPARE(listed.out, fill + u'\n');
    QVERIFY2(listed.err.contains(live + QStringLiteral(": in use")), qPrintable(listed.err));
    QVERIFY(QFileInfo::exists(fill));
    const Outcome cleaned
        = runFiller(QStringList { QStringLiteral("--clean"), target.path(), QStringLiteral("--json") } + mode);
    QCOMPARE(cleaned.code, 4);
    const QJsonObject summary = QJsonDocument::fromJson(cleaned.out.toUtf8()).object();
    QCOMPARE(summary.value(QStringLiteral("removed")).toArray(), QJsonArray { fill });
    QCOMPARE(summary.value(QStringLiteral("in_use")).toArray(), QJsonArray { live });
    QCOMPARE(summary.value(QStringLiteral("reason")).toString(), QStringLiteral("in use"));
    QCOMPARE(dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System), others);
    QCOMPARE(QDir(dir.filePath(QStringLiteral("marked, with a user's file")))
                 .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)
                 .size(),
             3);
    QProcess::execute(QStringLiteral("sync"), { QStringLiteral("-f"), target.path() });
    QVERIFY2(target.available() >= availableBefore,
             qPrintable(QStringLiteral("%1 < %2").arg(target.available()).arg(availableBefore)));
    // The running fill still holds what it made, and removes it itself.
    ::kill(static_cast<pid_t>(running.processId()), SIGTERM);
    QVERIFY(running.waitForFinished(60000));
    QCOMPARE(running.exitCode(), 0);
    QVERIFY(!QFileInfo::exists(live));
    // Into subfolders only when asked.
    const Outcome deeper = runFiller({ QStringLiteral("--clean"), target.path(), QStringLiteral("--recursive") });
    QStringList deeperFills = deeper.out.split(u'\n', Qt::SkipEmptyParts);
    deeperFills.sort();
    QStringList expected { shown.arg(dir.filePath(QStringLiteral("sub/"))),
                           dir.filePath(QStringLiteral("sub/random.dat")),
                           dir.filePath(QStringLiteral("sub/reserved.dat")) };
    expected.sort();
    QCOMPARE(deeperFills, expected);
    QVERIFY(QFileInfo::exists(elsewhere.filePath(QStringLiteral("fill.dat"))));
    QCOMPARE(::umount2(QFile::encodeName(mounted).constData(), 0), 0);

    // Another file put at a fill's name once the fill was checked is not removed in its place.
    QCOMPARE(runFiller(QStringList { fill }
                       + (inodes ? mode + QStringList { QStringLiteral("--leave-inodes"), QStringLiteral("300") }
                                 : QStringList { QStringLiteral("4K") }))
                 .code,
             0);
    const QString mine = dir.filePath(QStringLiteral("mine"));
    const QString precious = inodes ? mine + QStringLiteral("/notes") : mine;
    QVERIFY(!inodes || dir.mkdir(QStringLiteral("mine")));
    QVERIFY(writeFile(precious, "precious"));
    QList<platform::CleanedFill> seen;
    platform::CleanHooks hooks;
    hooks.checked = [&](const QString& path) {
        if (path == fill) {
            QCOMPARE(::renameat2(AT_FDCWD, QFile::encodeName(mine).constData(), AT_FDCWD,
                                 QFile::encodeName(fill).constData(), RENAME_EXCHANGE),
                     0);
        }
    };
    QVERIFY(!platform::cleanFills({ target.path(), false, inodes, false }, { block, header }, hooks,
                                  [&](const platform::CleanedFill& found) { seen.append(found); }));
    QVERIFY(!seen.isEmpty() && seen.first().path == QFile::encodeName(fill));
    QVERIFY(seen.first().error == platform::make_error_code(platform::FileError::Moved));
    QCOMPARE(readFile(inodes ? fill + QStringLiteral("/notes") : fill), QByteArray("precious"));
}

// Folders deeper than a path can name are not entered, however many the clean-up may hold open: it
// says so, and does not run out of stack.
void tst_Cli::cleanUpOfADeepTree()
{
    TMPFS(volume, MiB);
    rlimit files {};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 20000);
    QVERIFY(files.rlim_cur > 3000 && ::setrlimit(RLIMIT_NOFILE, &files) == 0);
    int fd = ::open(QFile::encodeName(volume.path()).constData(), O_RDONLY);
    for (int depth = 0; depth < 15000 && ::mkdirat(fd, "d", 0755) == 0; ++depth) {
        const int deeper = ::openat(fd, "d", O_RDONLY);
        ::close(fd);
        fd = deeper;
    }
    ::close(fd);
    const Outcome outcome = runFiller({ QStringLiteral("--clean"), volume.path(), QStringLiteral("--recursive") });
    QVERIFY2(outcome.code == 4 && outcome.err.contains(QStringLiteral("too long")), qPrintable(outcome.err));
    // Out of descriptors, it names the folder it could not open, not DIR.
    QProcess limited;
    limited.start(QStringLiteral("prlimit"),
                  { QStringLiteral("--nofile=64"), QStringLiteral(TALLOWMERE_FILL), QStringLiteral("--clean"),
                    volume.path(), QStringLiteral("--recursive") });
    QVERIFY(limited.waitForFinished(120000));
    const QString said = QString::fromLocal8Bit(limited.readAllStandardError());
    const QRegularExpression line(QStringLiteral("^tallowmere-fill: (%1(/d)+): Too many open files$")
                                      .arg(QRegularExpression::escape(volume.path())),
                                  QRegularExpression::MultilineOption);
    const QString named = line.match(said).captured(1);
    QVERIFY2(limited.exitCode() == 4 && QFileInfo(named).isDir(), qPrintable(said));
}

// A write refused by a disk quota, by a user who is not root: an ext4 user quota where the kernel
// has quotas, and a btrfs subvolume limit (which answers the same EDQUOT).
void tst_Cli::quota_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("code");
    QTest::newRow("ext4 user quota, to the quota") << "ext4" << QStringList() << 0;
    QTest::newRow("ext4 user quota, SIZE beyond it") << "ext4" << QStringList { "32M" } << 3;
    QTest::newRow("btrfs limit, to the quota") << "btrfs" << QStringList() << 0;
    QTest::newRow("btrfs limit, --leave") << "btrfs" << QStringList { "--leave", "1M" } << 3;
}

void tst_Cli::quota()
{
    QFETCH(QString, kind);
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    DISK_IMAGES_OR_SKIP();
    constexpr qint64 limit = 16 * MiB;
    const QString user = QStringLiteral("65534");
    std::unique_ptr<ImageVolume> volume;
    QString folder;
    if (kind == QLatin1String("ext4")) {
        volume
            = std::make_unique<Ext4Volume>(64 * MiB,
                                           QStringList { QStringLiteral("-O"), QStringLiteral("quota"),
                                                         QStringLiteral("-E"), QStringLiteral("quotatype=usrquota") },
                                           QStringLiteral("usrquota"));
        if (!volume->isMounted()) {
            QSKIP(qPrintable(QStringLiteral("no ext4 with quotas here (a kernel without CONFIG_QUOTA?): ")
                             + volume->error()));
        }
        folder = volume->filePath(QStringLiteral("user"));
        QVERIFY(QDir(volume->path()).mkdir(QStringLiteral("user")));
        const QString failed
            = runCommand(QStringLiteral("setquota"),
                         { QStringLiteral("-u"), user, QStringLiteral("0"), QString::number(limit / KiB),
                           QStringLiteral("0"), QStringLiteral("0"), volume->path() });
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
    } else {
        if (const QString why = BtrfsVolume::unavailable(); !why.isEmpty()) {
            QSKIP(qPrintable(why));
        }
        volume = std::make_unique<BtrfsVolume>(512 * MiB);
        QVERIFY2(volume->isMounted(), qPrintable(volume->error()));
        folder = volume->filePath(QStringLiteral("user"));
        for (const QStringList& step :
             { QStringList { QStringLiteral("quota"), QStringLiteral("enable"), volume->path() },
               QStringList { QStringLiteral("subvolume"), QStringLiteral("create"), folder },
               QStringList { QStringLiteral("qgroup"), QStringLiteral("limit"), QString::number(limit), folder } }) {
            const QString failed = runCommand(QStringLiteral("btrfs"), step);
            QVERIFY2(failed.isEmpty(), qPrintable(failed));
        }
    }
    QCOMPARE(::chown(QFile::encodeName(folder).constData(), 65534, 65534), 0);
    const QString path = folder + QStringLiteral("/fill.dat");
    const Outcome outcome = runAndSignal(QStringList { QStringLiteral("--json"), path } + arguments,
                                         [](const QString&) { return false; }, 0,
                                         { QStringLiteral("setpriv"), QStringLiteral("--reuid=") + user,
                                           QStringLiteral("--regid=") + user, QStringLiteral("--clear-groups") });
    QVERIFY2(outcome.code == code,
             qPrintable(QStringLiteral("exit %1: %2 %3").arg(outcome.code).arg(outcome.out, outcome.err)));
    const QJsonObject summary = lastJsonLine(outcome.out);
    QCOMPARE(summary.value(QStringLiteral("reason")).toString(), QStringLiteral("quota"));
    const qint64 size = fileSize(path);
    QCOMPARE(summary.value(QStringLiteral("bytes_written")).toInteger(), size);
    QVERIFY2(size > limit - MiB && size <= limit, qPrintable(QString::number(size)));
    const QString problem = checkFillFile(path, size);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void tst_Cli::compressingVolume_data()
{
    QTest::addColumn<QString>("mountOptions");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("compressing");
    QTest::newRow("bytes of 255, 300 MiB") << "compress-force=zstd" << QStringList { "300M" } << true;
    QTest::newRow("random, to full") << "compress-force=zstd" << QStringList { "--data", "random" } << false;
    // btrfs counts what was written late: no compression must not be taken for some.
    QTest::newRow("not compressing") << "" << QStringList { "300M" } << false;
}

// On a 512 MiB btrfs that compresses everything, bytes of 255 would take many times its size to fill.
void tst_Cli::compressingVolume()
{
    QFETCH(QString, mountOptions);
    QFETCH(QStringList, arguments);
    QFETCH(bool, compressing);
    DISK_IMAGES_OR_SKIP();
    if (const QString why = BtrfsVolume::unavailable(); !why.isEmpty()) {
        QSKIP(qPrintable(why));
    }
    BtrfsVolume volume(512 * MiB, mountOptions);
    QVERIFY2(volume.isMounted(), qPrintable(volume.error()));
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    const Outcome outcome = runFiller(QStringList { QStringLiteral("--json"), path } + arguments);
    QVERIFY2(outcome.code == 0, qPrintable(outcome.err));
    const QJsonObject summary = lastJsonLine(outcome.out);
    QCOMPARE(summary.value(QStringLiteral("compressing")).toBool(), compressing);
    QCOMPARE(summary.value(QStringLiteral("filesystem")).toString(), QStringLiteral("btrfs"));
    QCOMPARE(outcome.err.count(QStringLiteral("compresses")), compressing ? 1 : 0);
    const QByteArray head = readFile(path).left(2048);
    QVERIFY(head.startsWith(fill::headerText()));
    if (arguments.contains(QStringLiteral("random"))) {
        QVERIFY(head.mid(1024).count('\xff') < 64); // random, not 255
        QVERIFY2(fileSize(path) < 512 * MiB && volume.available() < KiB, qPrintable(outcome.out));
    }
}

void tst_Cli::inodes_data()
{
    QTest::addColumn<QString>("volume");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<qint64>("left");
    QTest::addColumn<QString>("reason");
    QTest::newRow("ext4 with few inodes") << "ext4 -N 256" << QStringList() << qint64(0) << "inodes full";
    QTest::newRow("ext4, 10 to leave") << "ext4 -N 256" << QStringList { "--leave-inodes", "10" } << qint64(10)
                                       << "target reached";
    QTest::newRow("tmpfs") << "tmpfs nr_inodes=300" << QStringList() << qint64(0) << "inodes full";
    QTest::newRow("more to leave than there are")
        << "tmpfs nr_inodes=100" << QStringList { "--leave-inodes", "200", "--run", "false" } << qint64(-1)
        << "space to leave already reached";
    QTest::newRow("run under it")
        << "ext4 -N 256"
        << QStringList { "--run", "sh", "-c",
                         "test \"$TALLOWMERE_AVAILABLE_INODES\" = 0 && ! touch \"$TALLOWMERE_FILL_FILE/x\"" }
        << qint64(0) << "inodes full";
}

void tst_Cli::inodes()
{
    QFETCH(QString, volume);
    QFETCH(QStringList, arguments);
    QFETCH(qint64, left);
    QFETCH(QString, reason);
    VOLUME(target, volume, 16 * MiB);
    const QString path = target.filePath(QStringLiteral("inodes"));
    const Outcome outcome
        = runFiller(QStringList { QStringLiteral("--json"), QStringLiteral("--inodes"), path } + arguments);
    const QJsonObject summary = lastJsonLine(outcome.out);
    QCOMPARE(summary.value(QStringLiteral("reason")).toString(), reason);
    if (left < 0) { // nothing made, nothing run
        QCOMPARE(outcome.code, 3);
        QVERIFY(!QFileInfo::exists(path));
        return;
    }
    QVERIFY2(outcome.code == 0, qPrintable(outcome.err + outcome.out));
    QCOMPARE(summary.value(QStringLiteral("inodes_available")).toInteger(), left);
    if (arguments.contains(QStringLiteral("--run"))) {
        QVERIFY(!QFileInfo::exists(path));
        QCOMPARE(summary.value(QStringLiteral("removed")).toBool(), true);
        return;
    }
    struct statvfs st = {};
    QCOMPARE(::statvfs(QFile::encodeName(target.path()).constData(), &st), 0);
    QCOMPARE(qint64(st.f_favail), left);
    const QFileInfoList files = QDir(path).entryInfoList(QDir::Files | QDir::Hidden);
    QCOMPARE(files.size(), summary.value(QStringLiteral("inodes_created")).toInteger() + 1); // and the marker
    for (const QFileInfo& file : files) {
        QCOMPARE(file.size(), file.fileName() == QLatin1String(".tallowmere-fill") ? qint64(26) : qint64(0));
    }
    // A second fill does not take the folder of the first.
    QCOMPARE(runFiller({ QStringLiteral("--inodes"), path }).code, 2);
}

// Use% as df prints it for the volume.
void tst_Cli::usedAsDfShows_data()
{
    QTest::addColumn<QString>("volume");
    QTest::addColumn<int>("percent");
    QTest::newRow("tmpfs 37%") << "tmpfs" << 37;
    QTest::newRow("ext4 50%") << "ext4" << 50;
    QTest::newRow("ext4 99%") << "ext4" << 99;
    QTest::newRow("ext4 100%") << "ext4" << 100;
    // btrfs counts what is written only once it is on the disk.
    QTest::newRow("btrfs 80%") << "btrfs" << 80;
    QTest::newRow("btrfs 90%") << "btrfs" << 90;
    // Clusters of 64 KiB, blocks of 4 KiB: a write takes a whole cluster.
    QTest::newRow("ext4 bigalloc 90%") << "ext4 -O bigalloc -C 65536" << 90;
}

void tst_Cli::usedAsDfShows()
{
    QFETCH(QString, volume);
    QFETCH(int, percent);
    VOLUME(target, volume, volume == QLatin1String("btrfs") ? 512 * MiB : 64 * MiB);
    const QString path = target.filePath(QStringLiteral("fill.dat"));
    qint64 lowest = 0;
    const Outcome outcome = runFillerWatched({ path, QStringLiteral("--used"), QStringLiteral("%1%").arg(percent) },
                                             target.path(), &lowest);
    QVERIFY2(outcome.code == 0, qPrintable(outcome.err));
    QProcess::execute(QStringLiteral("sync"), { QStringLiteral("-f"), target.path() });
    // Never under the floor on the way there.
    QVERIFY2(lowest >= target.available(), qPrintable(QStringLiteral("%1 < %2").arg(lowest).arg(target.available())));
    QString shown;
    const QString failed
        = runCommand(QStringLiteral("df"), { QStringLiteral("--output=pcent"), target.path() }, &shown);
    QVERIFY2(failed.isEmpty(), qPrintable(failed));
    QCOMPARE(shown.split(u'\n').last().trimmed(), QStringLiteral("%1%").arg(percent));
    const QString problem = checkFillFile(path, fileSize(path));
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void tst_Cli::allocate_data()
{
    QTest::addColumn<QString>("volume");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("method");
    QTest::addColumn<qint64>("leave"); // -1: fill to the last block
    QTest::addColumn<qint64>("bytes"); // of the volume
    QTest::newRow("ext4, to full") << "ext4" << QStringList() << "allocate" << qint64(-1) << 128 * MiB;
    QTest::newRow("ext4, space to leave")
        << "ext4" << QStringList { "--leave", "10M" } << "allocate" << 10 * MiB << 128 * MiB;
    QTest::newRow("btrfs, space to leave")
        << "btrfs" << QStringList { "--leave", "100M" } << "allocate" << 100 * MiB << 512 * MiB;
    // Reserved gigabytes hold no data: nothing waits for them to be written back or flushed.
    QTest::newRow("ext4, gigabytes reserved") << "ext4" << QStringList() << "allocate" << qint64(-1) << 2048 * MiB;
    QTest::newRow("tmpfs, to full") << "tmpfs" << QStringList() << "allocate" << qint64(-1) << 128 * MiB;
    QTest::newRow("ext4 without extents cannot")
        << "ext4 -O ^extent,^64bit" << QStringList() << "write" << qint64(-1) << 128 * MiB;
}

void tst_Cli::allocate()
{
    QFETCH(QString, volume);
    QFETCH(QStringList, arguments);
    QFETCH(QString, method);
    QFETCH(qint64, leave);
    QFETCH(qint64, bytes);
    VOLUME(target, volume, bytes);
    const QString path = target.filePath(QStringLiteral("fill.dat"));
    QElapsedTimer clock;
    clock.start();
    qint64 lowest = 0;
    const Outcome outcome
        = runFillerWatched(QStringList { QStringLiteral("--json"), QStringLiteral("--allocate"), path } + arguments,
                           target.path(), &lowest);
    QVERIFY2(clock.elapsed() < 60000, "a fill that reserves its space is not left waiting");
    // A reservation never asks for more than the floor allows, not even for a moment.
    QVERIFY2(lowest >= std::max<qint64>(0, leave), qPrintable(QString::number(lowest)));
    QVERIFY2(outcome.code == 0, qPrintable(outcome.err));
    const QJsonObject summary = lastJsonLine(outcome.out);
    QCOMPARE(summary.value(QStringLiteral("method")).toString(), method);
    QProcess::execute(QStringLiteral("sync"), { QStringLiteral("-f"), target.path() });
    const qint64 available = target.available();
    if (leave < 0) {
        QVERIFY2(available < KiB, qPrintable(QString::number(available)));
    } else {
        QVERIFY2(available >= leave && available < leave + 8 * KiB, qPrintable(QString::number(available)));
    }
    const qint64 size = fileSize(path);
    QCOMPARE(summary.value(QStringLiteral("bytes_written")).toInteger(), size);
    QCOMPARE(size % KiB, 0);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.read(KiB).startsWith(fill::headerText()));
    if (method == QLatin1String("write")) {
        QCOMPARE(outcome.err.count(QStringLiteral("cannot reserve")), 1);
        const QString problem = checkFillFile(path, size);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    } else {
        // Reserved blocks read as zeros.
        QVERIFY(summary.value(QStringLiteral("bytes_allocated")).toInteger() > size / 2);
        QVERIFY(file.seek(size / 2));
        QCOMPARE(file.read(1), QByteArray(1, '\0'));
    }
}

// One command sees DIR full, as root and as an ordinary user: setpriv to uid 1000 when the test runs
// as root, else (the test being root of a user namespace of its own) a nested namespace as 1000.
void tst_Cli::isolate_data()
{
    QTest::addColumn<QString>("who"); // root, user, or a user who may make no more user namespaces
    QTest::addColumn<QString>("folder"); // DIR is the folder with the files
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("command"); // a shell command: DIR, MARK and ID are replaced
    QTest::addColumn<int>("signal"); // sent to the filler once MARK exists
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("said"); // on stderr

    const QString full = QStringLiteral(
        "cd DIR && test \"$(cat a)\" = hello && test \"$(id -u)\" = ID && test \"$TALLOWMERE_ISOLATED\" = 1 && "
        "test $(($(stat -f -c '%a * %S' .))) = 65536 && test \"$(stat -c %a .)\" = 751 && test \"$OLDPWD\" = CWD && "
        "touch MARK && head -c 65537 /dev/zero > x");
    const QStringList leave { "--leave", "64K" };
    const QString nospace = QStringLiteral("No space left on device");
    QTest::newRow("root: DIR as it was, SIZE left, no more") << "root"
                                                             << "DIR" << leave << full << 0 << 1 << nospace;
    QTest::newRow("user: DIR as it was, SIZE left, no more") << "user"
                                                             << "DIR" << leave << full << 0 << 1 << nospace;
    QTest::newRow("exit code") << "user"
                               << "DIR" << QStringList() << "touch MARK; exit 7" << 0 << 7 << "";
    QTest::newRow("SIGTERM forwarded") << "user"
                                       << "DIR" << QStringList() << "touch MARK; exec sleep 30" << SIGTERM << 143 << "";
    QTest::newRow("a daemon in namespaces of its own ends with COMMAND; its socket is kept")
        << "user"
        << "DIR" << QStringList { "--keep" }
        << "setsid unshare -Um perl -MSocket -e 'socket S,1,1,0; bind S,pack_sockaddr_un\"DIR/s\"; print readlink "
           "q(/proc/self); "
           "close STDOUT; sleep 37' > MARK.pid & sleep 0.2; touch MARK"
        << 0 << 0 << "outside its process group";
    // A fork-exit chain, quicker than a scan of /proc, that ignores SIGTERM (so it is killed: exit 5) and
    // beats into MARK.beat; it gives up by itself after 20 s.
    const QString forker
        = QStringLiteral("setsid perl -e '$SIG{TERM} = \"IGNORE\"; open B, \">>\", \"MARK.beat\"; select B; $| = 1; "
                         "while (time - $^T < 20) { fork && exit; print \".\"; select undef, undef, undef, 0.001 }' & "
                         "sleep 0.2; touch MARK");
    QTest::newRow("a fast-forking leftover that ignores SIGTERM goes with the layer")
        << "user"
        << "DIR" << QStringList() << forker << 0 << 5 << "did not end on SIGTERM";
    QTest::newRow("root: a fast-forking leftover that ignores SIGTERM goes with the layer")
        << "root"
        << "DIR" << QStringList() << forker << 0 << 5 << "did not end on SIGTERM";
    QTest::newRow("inodes") << "user"
                            << "DIR" << QStringList { "--inodes", "--leave-inodes", "2" }
                            << "cd DIR && touch n1 n2 MARK && touch n3" << 0 << 1 << nospace;
    QTest::newRow("keep") << "user"
                          << "DIR" << QStringList { "--keep" }
                          << "touch MARK && : > DIR/sub/new && mkfifo -m 666 DIR/sub/fifo" << 0 << 0 << "kept in";
    QTest::newRow("a signal stops --keep")
        << "user"
        << "DIR" << QStringList { "--keep" } << "setsid sh -c 'trap \"touch MARK\" TERM; sleep 9; sleep 9' & sleep 0.2"
        << SIGTERM << 130 << "interrupted";
    QTest::newRow("root: a volume below DIR, isolated too")
        << "root"
        << "DIR" << QStringList { "--leave", "8K" }
        << "test \"$(cat DIR/m/c)\" = below && touch MARK && head -c 8193 /dev/zero > DIR/m/x" << 0 << 1 << nospace;
    QTest::newRow("root: a file mounted below DIR")
        << "root"
        << "DIR" << QStringList()
        << "test \"$(cat DIR/resolv)\" = host && touch MARK && (echo x > DIR/resolv) || exit 5" << 0 << 5
        << "Read-only file system";
    QTest::newRow("root: DIR under another user's folder")
        << "root"
        << "DIR/sub" << QStringList() << "touch MARK" << 0 << 2 << "uid 1000";
    QTest::newRow("user: started above DIR, COMMAND's paths into it through the layer")
        << "user"
        << "DIR" << leave << "test -f dir/a && touch MARK && head -c 65537 /dev/zero > dir/x" << 0 << 1 << nospace;
    QTest::newRow("user: a volume below DIR") << "user"
                                              << "DIR" << QStringList() << "touch MARK" << 0 << 2 << "mounted below";
    QTest::newRow("user namespaces used up")
        << "user, none left"
        << "DIR" << QStringList() << "touch MARK" << 0 << 2 << "user.max_user_namespaces";
    QTest::newRow("no PID namespaces") << "user, no PID namespaces"
                                       << "DIR" << QStringList() << "touch MARK" << 0 << 2 << "max_pid_namespaces";
    QTest::newRow("not a folder") << "user"
                                  << "DIR/a" << QStringList() << "touch MARK" << 0 << 2 << "not a folder";
    QTest::newRow("the root folder") << "root"
                                     << "/" << QStringList() << "touch MARK" << 0 << 2 << "root folder";
    QTest::newRow("proc") << "root"
                          << "/proc/self" << QStringList() << "touch MARK" << 0 << 2 << "proc file system";
}

void tst_Cli::isolate()
{
    QFETCH(QString, who);
    QFETCH(QString, folder);
    QFETCH(QStringList, arguments);
    QFETCH(QString, command);
    QFETCH(int, signal);
    QFETCH(int, code);
    QFETCH(QString, said);
    VOLUME(target, QStringLiteral("tmpfs"), 8 * MiB);
    TMPFS(scratch, MiB); // MARK, and the temporary folder a kept layer goes to
    QCOMPARE(::chmod(QFile::encodeName(scratch.path()).constData(), 0777), 0);
    const QString dir = target.filePath(QStringLiteral("dir"));
    QVERIFY(QDir(target.path()).mkpath(QStringLiteral("dir/sub")) && writeFile(dir + QStringLiteral("/a"), "hello")
            && writeFile(dir + QStringLiteral("/big"), QByteArray(200 * KiB, 'b')));
    QCOMPARE(::chmod(QFile::encodeName(dir).constData(), 0751), 0);
    const bool fileBelow = QByteArray(QTest::currentDataTag()).contains("file mounted");
    const QString below = dir + (fileBelow ? QStringLiteral("/resolv") : QStringLiteral("/m"));
    const QString host = target.filePath(QStringLiteral("host"));
    if (fileBelow) {
        QVERIFY(writeFile(host, "host") && writeFile(below, ""));
        QCOMPARE(::mount(QFile::encodeName(host).constData(), QFile::encodeName(below).constData(), nullptr, MS_BIND,
                         nullptr),
                 0);
    } else if (QByteArray(QTest::currentDataTag()).contains("below DIR")) {
        QVERIFY(QDir(dir).mkdir(QStringLiteral("m")));
        QCOMPARE(::mount("tmpfs", QFile::encodeName(below).constData(), "tmpfs", 0, "size=1M"), 0);
        QVERIFY(writeFile(below + QStringLiteral("/c"), "below"));
    }
    const auto unmount = qScopeGuard([&] { ::umount2(QFile::encodeName(below).constData(), MNT_DETACH); });
    const QString started = QDir::currentPath();
    const auto back = qScopeGuard([&] { QDir::setCurrent(started); });
    QVERIFY(!QByteArray(QTest::currentDataTag()).contains("above DIR") || QDir::setCurrent(target.path()));
    const bool realRoot = readFile(QStringLiteral("/proc/self/uid_map")).simplified() == "0 0 4294967295";
    QStringList prefix { QStringLiteral("env"), QStringLiteral("TMPDIR=") + scratch.path() };
    // As uid 1000: the real one when the test runs as root, else in a nested namespace of the test's own.
    const QStringList nested { "unshare", "--user", "--map-user=1000", "--map-group=1000" };
    const QStringList user
        = realRoot ? QStringList { "setpriv", "--reuid=1000", "--regid=1000", "--clear-groups" } : nested;
    if (who != QLatin1String("root")
        && !runCommand(user.first(), user.mid(1) + QStringList { "unshare", "--user", "true" }).isEmpty()) {
        QSKIP("this system does not let an ordinary user make user namespaces");
    }
    if (who == QLatin1String("user")) {
        prefix << user;
        QVERIFY(!realRoot
                || runCommand(QStringLiteral("chown"), { QStringLiteral("-R"), QStringLiteral("1000:1000"), dir })
                       .isEmpty());
    } else if (who != QLatin1String("root")) {
        // Where only one more user namespace may be made (the one the test's uid 1000 is in), or no PID one.
        prefix << QStringList { "unshare",
                                "--user",
                                "--map-root-user",
                                "sh",
                                "-c",
                                who.contains(QLatin1String("PID"))
                                    ? "echo 0 > /proc/sys/user/max_pid_namespaces && exec \"$@\""
                                    : "echo 1 > /proc/sys/user/max_user_namespaces && exec \"$@\"",
                                "sh" }
               << nested;
    }
    if (QByteArray(QTest::currentDataTag()).contains("another user")) {
        QCOMPARE(::chown(QFile::encodeName(dir).constData(), 1000, 1000), 0);
    }
    const QString before = snapshot(dir);
    const QString mark = scratch.filePath(QStringLiteral("ran"));
    // In one pass: a temporary folder's random name may hold "ID" or "DIR" itself.
    const QMap<QString, QString> values { { "DIR", dir },
                                          { "MARK", mark },
                                          { "CWD", QDir::currentPath() },
                                          { "ID", who == QLatin1String("root") ? "0" : "1000" } };
    QString expanded;
    qsizetype done = 0;
    for (auto it = QRegularExpression(QStringLiteral("DIR|MARK|CWD|ID")).globalMatch(command); it.hasNext();) {
        const QRegularExpressionMatch token = it.next();
        expanded += command.mid(done, token.capturedStart() - done) + values.value(token.captured());
        done = token.capturedEnd();
    }
    command = expanded + command.mid(done);
    const Outcome outcome = runAndSignal(
        QStringList { QStringLiteral("--json"), QStringLiteral("--isolate"),
                      folder.replace(QStringLiteral("DIR"), dir) }
            + arguments + QStringList { QStringLiteral("--run"), QStringLiteral("sh"), QStringLiteral("-c"), command },
        [&](const QString&) { return QFile::exists(mark); }, signal, prefix);
    QVERIFY2(outcome.code == code, qPrintable(QStringLiteral("exit %1: %2").arg(outcome.code).arg(outcome.err)));
    QVERIFY2(outcome.err.contains(said), qPrintable(outcome.err));
    QCOMPARE(QFile::exists(mark), code != 2);
    QCOMPARE(snapshot(dir), before);
    QVERIFY(!fileBelow || readFile(host) == "host");
    if (const QByteArray daemon = readFile(mark + QStringLiteral(".pid")).trimmed(); !daemon.isEmpty()) {
        QVERIFY(::kill(daemon.toInt(), 0) != 0);
    }
    if (const qint64 beats = QFileInfo(mark + QStringLiteral(".beat")).size()) {
        QTest::qWait(300);
        QCOMPARE(QFileInfo(mark + QStringLiteral(".beat")).size(), beats);
    }
    const QJsonObject summary = lastJsonLine(outcome.out);
    QCOMPARE(summary.value(QStringLiteral("isolated")).toBool(), true);
    if (said == QLatin1String("No space left on device")) {
        QCOMPARE(summary.value(QStringLiteral("layer_bytes")).toInteger(),
                 summary.value(QStringLiteral("bytes_available")).toInteger());
    }
    if (said == QLatin1String("kept in")) {
        const QString kept = summary.value(QStringLiteral("kept_in")).toString();
        QVERIFY2(kept.startsWith(scratch.path()) && QFileInfo(kept + QStringLiteral("/sub/new")).isFile(),
                 qPrintable(kept));
        struct stat fifo = {};
        QVERIFY(::stat(QFile::encodeName(kept + QStringLiteral("/sub/fifo")).constData(), &fifo) == 0);
        QCOMPARE(fifo.st_mode, mode_t(S_IFIFO | 0666));
    }
}

// A link swapped in after the plan leads neither the layer nor COMMAND's working folder out of DIR, nor
// does a real folder swapped in for one above DIR once the layer is laid.
void tst_Cli::isolateFollowsNoLinkSwappedIn()
{
    TMPFS(volume, MiB);
    const QString dir = volume.filePath(QStringLiteral("dir/")), started = QDir::currentPath();
    QVERIFY(QDir().mkpath(dir + "sub/x") && QDir().mkpath(volume.filePath("out/x")) && QDir::setCurrent(dir + "sub"));
    platform::Isolation whole(dir, 0, {}), below(dir + "sub/x", 0, {});
    QVERIFY(QDir::setCurrent(started) && QDir(dir).rename("sub", "old") && QFile::link("../out", dir + "sub"));
    QVERIFY(below.lay().contains(QStringLiteral("symbolic link")) && whole.lay().isEmpty());
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(whole.join() == 0 && ::creat("written", 0600) >= 0 ? 0 : 1);
    }
    QVERIFY(child > 0 && ::waitpid(child, nullptr, 0) == child && !QFile::exists(volume.filePath("out/written")));
    for (const char* working : { "p/d/w", "" }) {
        QVERIFY(QDir().mkpath(volume.filePath("p/d/w")) && QDir::setCurrent(volume.filePath(working)));
        platform::Isolation swapped(volume.filePath("p/d"), 0, {});
        QVERIFY(swapped.lay().isEmpty() && QDir(volume.path()).rename("p", "old")
                && QDir().mkpath(volume.filePath("p/d/w")));
        const pid_t joined = ::fork();
        if (joined == 0) {
            // From outside DIR by its path, and from the working folder inside it.
            const bool joined = swapped.join() == 0;
            ::_exit(joined && (::creat("p/d/written", 0600) >= 0 || ::creat("written", 0600) >= 0) ? 0 : 1);
        }
        QVERIFY(joined > 0 && ::waitpid(joined, nullptr, 0) == joined && QDir::setCurrent(started));
        QVERIFY2(swapped.joinFailure().contains(QStringLiteral("replaced")), qPrintable(swapped.joinFailure()));
        QVERIFY(!QFile::exists(volume.filePath("p/d/written")) && !QFile::exists(volume.filePath("p/d/w/written")));
        QVERIFY(QDir(volume.filePath("old")).removeRecursively() && QDir(volume.filePath("p")).removeRecursively());
    }
}

QTEST_MAIN(tst_Cli)
#include "tst_cli.moc"
