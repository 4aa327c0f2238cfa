#include "clifixture.h"
#include "core/cleanup.h"

class tst_CliClean : public QObject
{
    Q_OBJECT

private slots:
    void killedHoldIsCleaned_data();
    void killedHoldIsCleaned();
    void cleanUpOfADeepTree();
};

void tst_CliClean::killedHoldIsCleaned_data()
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

void tst_CliClean::killedHoldIsCleaned()
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

    // Kept by design (a run without --keep has a guardian that removes its fill), left by a kill.
    const Outcome killed = runAndSignal(
        QStringList { fill, QStringLiteral("--hold"), QStringLiteral("--keep") } + mode,
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
    QList<fill::CleanedFill> seen;
    fill::CleanHooks hooks;
    hooks.checked = [&](const QString& path) {
        if (path == fill) {
            QCOMPARE(::renameat2(AT_FDCWD, QFile::encodeName(mine).constData(), AT_FDCWD,
                                 QFile::encodeName(fill).constData(), RENAME_EXCHANGE),
                     0);
        }
    };
    QVERIFY(!fill::cleanFills({ target.path(), false, inodes, false }, hooks,
                              [&](const fill::CleanedFill& found) { seen.append(found); }));
    QVERIFY(!seen.isEmpty() && seen.first().path == QFile::encodeName(fill));
    QVERIFY(seen.first().error == platform::make_error_code(platform::FileError::Moved));
    QCOMPARE(readFile(inodes ? fill + QStringLiteral("/notes") : fill), QByteArray("precious"));
}

// Folders deeper than a path can name are not entered, however many the clean-up may hold open: it
// says so, and does not run out of stack.
void tst_CliClean::cleanUpOfADeepTree()
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

QTEST_MAIN(tst_CliClean)
#include "tst_cli_clean.moc"
