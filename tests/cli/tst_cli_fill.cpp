#include "clifixture.h"

#include <cmath>

class tst_CliFill : public QObject
{
    Q_OBJECT

private slots:
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
    void quota_data();
    void quota();
    void compressingVolume_data();
    void compressingVolume();
    void usedAsDfShows_data();
    void usedAsDfShows();
    void leaveForUse_data();
    void leaveForUse();
    void allocate_data();
    void allocate();
    void inodes_data();
    void inodes();
};

void tst_CliFill::fillsTheVolume()
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

void tst_CliFill::leavesWhatWasAsked_data()
{
    QTest::addColumn<QString>("leave");
    QTest::addColumn<qint64>("bytes");
    QTest::newRow("1M") << "1M" << MiB;
    QTest::newRow("10M") << "10M" << 10 * MiB;
    QTest::newRow("25%") << "25%" << 8 * MiB;
    QTest::newRow("odd bytes") << "1000000" << qint64(1000000);
}

void tst_CliFill::leavesWhatWasAsked()
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
void tst_CliFill::leaveOnADiskFileSystem()
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

void tst_CliFill::leaveStepsDownToTheFloor_data()
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
void tst_CliFill::leaveStepsDownToTheFloor()
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
void tst_CliFill::giveBackGoesThroughTheOpenFile()
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
void tst_CliFill::rootFillsTheReserve()
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

void tst_CliFill::leaveCountsTheVolumeALinkLeadsTo()
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

void tst_CliFill::leaveBeyondWhatIsAvailable_data()
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
void tst_CliFill::leaveBeyondWhatIsAvailable()
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

void tst_CliFill::leaveBeforeTheSize()
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

void tst_CliFill::sizeBeyondTheVolume()
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

void tst_CliFill::refusesBeforeTouchingAnyFile()
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

void tst_CliFill::existingFileNeedsForce()
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

void tst_CliFill::headerCutShortLeavesNoPartialHeader()
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

void tst_CliFill::jsonSummary()
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

void tst_CliFill::interruptedKeepsWholeBlocks_data()
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

void tst_CliFill::interruptedKeepsWholeBlocks()
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

void tst_CliFill::quota_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("code");
    QTest::newRow("ext4 user quota, to the quota") << "ext4" << QStringList() << 0;
    QTest::newRow("ext4 user quota, SIZE beyond it") << "ext4" << QStringList { "32M" } << 3;
    QTest::newRow("btrfs limit, to the quota") << "btrfs" << QStringList() << 0;
    QTest::newRow("btrfs limit, --leave") << "btrfs" << QStringList { "--leave", "1M" } << 3;
}

void tst_CliFill::quota()
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

void tst_CliFill::compressingVolume_data()
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
void tst_CliFill::compressingVolume()
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

void tst_CliFill::usedAsDfShows_data()
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

void tst_CliFill::usedAsDfShows()
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

void tst_CliFill::allocate_data()
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

void tst_CliFill::allocate()
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
void tst_CliFill::inodes_data()
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

void tst_CliFill::inodes()
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

void tst_CliFill::leaveForUse_data()
{
    QTest::addColumn<qint64>("blocks"); // of the volume
    QTest::addColumn<qint64>("used"); // before the fill
    QTest::addColumn<qint64>("reserved"); // only root's
    QTest::addColumn<double>("percent");
    QTest::newRow("empty, 37%") << qint64(1000) << qint64(0) << qint64(0) << 37.0;
    QTest::newRow("a third used, 50%") << qint64(999) << qint64(333) << qint64(0) << 50.0;
    QTest::newRow("root's reserve, 90%") << qint64(16384) << qint64(100) << qint64(819) << 90.0;
    QTest::newRow("a fraction counts up") << qint64(1000) << qint64(0) << qint64(0) << 36.2;
    QTest::newRow("100%") << qint64(4096) << qint64(7) << qint64(0) << 100.0;
    QTest::newRow("1% of a large volume") << qint64(1000003) << qint64(0) << qint64(50000) << 1.0;
}

// Use% as df prints it, used / (used + available) rounded up: the space left shows the percent asked
// for (rounded up), and one block more left would show less.
void tst_CliFill::leaveForUse()
{
    QFETCH(qint64, blocks);
    QFETCH(qint64, used);
    QFETCH(qint64, reserved);
    QFETCH(double, percent);
    constexpr qint64 unit = 4 * KiB;
    const qint64 free = (blocks - used) * unit;
    const platform::VolumeSpace space { free - reserved * unit, free, blocks * unit, unit, free, -1 };
    const qint64 leave = cli::leaveForUse(space, percent);
    QCOMPARE(leave % unit, 0);
    const qint64 all = blocks - reserved;
    const auto shown = [all](qint64 available) { return (100 * (all - available) + all - 1) / all; };
    const auto wanted = static_cast<qint64>(std::ceil(percent));
    QCOMPARE(shown(leave / unit), wanted);
    QVERIFY(shown(leave / unit + 1) < wanted);
}

QTEST_MAIN(tst_CliFill)
#include "tst_cli_fill.moc"
