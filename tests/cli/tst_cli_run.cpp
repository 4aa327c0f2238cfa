#include "clifixture.h"

class tst_CliRun : public QObject
{
    Q_OBJECT

private slots:
    void runExitCodes_data();
    void runExitCodes();
    void holdReleases_data();
    void holdReleases();
};

void tst_CliRun::runExitCodes_data()
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
    // The filler blocks its stop signals; COMMAND gets the mask the filler was started with (read by the
    // shell itself: it clears its mask once it has waited for a child).
    QTest::newRow("COMMAND starts with no signal blocked")
        << "tmpfs" << QStringList()
        << "while read -r k v; do [ $k = SigBlk: ] && m=$v; done < /proc/$$/status; touch MARK; "
           "case $m in *[!0]*) exit 1;; esac"
        << 0 << 0 << true << false;
    QTest::newRow("fill short of SIZE: not run")
        << "tmpfs" << QStringList { "1G" } << "touch MARK" << 0 << 3 << false << false;
    QTest::newRow("file exists: not run")
        << "tmpfs" << QStringList { "EXISTS" } << "touch MARK" << 0 << 2 << false << true;
    QTest::newRow("keep") << "ext4" << QStringList { "--keep", "2M" } << "touch MARK" << 0 << 0 << true << true;
    QTest::newRow("emptied by COMMAND: no top-up, left as it is")
        << "tmpfs" << QStringList { "--top-up" } << ": > \"$TALLOWMERE_FILL_FILE\"; touch MARK; sleep 0.6" << 0 << 5
        << true << true;
}

void tst_CliRun::runExitCodes()
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

void tst_CliRun::holdReleases_data()
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

void tst_CliRun::holdReleases()
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

QTEST_MAIN(tst_CliRun)
#include "tst_cli_run.moc"
