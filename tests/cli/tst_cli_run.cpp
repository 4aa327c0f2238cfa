#include "clifixture.h"

class tst_CliRun : public QObject
{
    Q_OBJECT

private slots:
    void runExitCodes_data();
    void runExitCodes();
    void holdReleases_data();
    void holdReleases();
    void killedRunLeavesNoFill_data();
    void killedRunLeavesNoFill();
};

namespace {

// The processes but this one with a descriptor open in dir.
QStringList holdersOf(const QString& dir)
{
    QStringList found;
    const QString inside = QFileInfo(dir).canonicalFilePath();
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QDirIterator fds(QStringLiteral("/proc/%1/fd").arg(pid),
                         QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        while (pid.toLongLong() != ::getpid() && fds.hasNext()) {
            if (const QString target = fds.next(), to = QFile::symLinkTarget(target);
                to == inside || to.startsWith(inside + u'/')) {
                found << pid;
                break;
            }
        }
    }
    return found;
}

} // namespace

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
    // Its group killed, as a CI runner cancels a job: the guardian, in a session of its own, removes the fill.
    QTest::newRow("COMMAND ends with a filler killed outright")
        << "tmpfs" << QStringList { "2M" } << "echo $$ > MARK; exec sleep 37" << -SIGKILL << -1 << true << false;
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
    // A filler killed outright leaves it to its guardian, which may take a moment.
    QTRY_COMPARE(QFile::exists(path), kept);
    if (const qint64 child = readFile(mark).trimmed().toLongLong(); child > 0) {
        // Gone, or a zombie where nothing reaps the processes it takes over.
        QTRY_VERIFY2(!readFile(QStringLiteral("/proc/%1/stat").arg(child)).contains(") S "),
                     "a process COMMAND started is still running");
    }
    if (!kept) {
        QTRY_VERIFY2(target.available() > 16 * MiB, qPrintable(QString::number(target.available())));
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
    // An ordinary user allowed no other process or thread: no guardian (said once), the hold all the same.
    QTest::newRow("no process to be had")
        << "ext4" << QStringList { "--hold", "NPROC-1" } << SIGTERM << 0 << qint64(0) << false << false;
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
    const bool limited = arguments.removeAll(QStringLiteral("NPROC-1")) > 0;
    QVERIFY(!limited || ::chmod(QFile::encodeName(target.path()).constData(), 01777) == 0);
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
        signal,
        // A sanitized build's leak check at exit needs a thread of its own, which the limit forbids.
        limited
            ? QStringList { "setpriv", "--reuid=1000", "--regid=1000", "--clear-groups", "prlimit", "--nproc=1", "env",
                            "ASAN_OPTIONS=" + QString::fromLocal8Bit(qgetenv("ASAN_OPTIONS")) + ":detect_leaks=0" }
            : QStringList());
    QVERIFY2(outcome.code == code, qPrintable(QStringLiteral("exit %1: %2").arg(outcome.code).arg(outcome.err)));
    QCOMPARE(outcome.err.count(QStringLiteral("cannot start the guardian")), limited ? 1 : 0);
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

void tst_CliRun::killedRunLeavesNoFill_data()
{
    QTest::addColumn<QString>("volume");
    QTest::addColumn<QString>(
        "kill"); // SIGKILL once: "stalled" (writing), "held", "topped up"; "": COMMAND does; "none"
    QTest::addColumn<QString>("left"); // at the fill's name: "nothing", "kept", "user's"; "moved": emptied, elsewhere
    QTest::addColumn<QStringList>("arguments"); // after the path
    const auto killedBy = [](const QString& command) {
        return QStringList { "--run", "sh", "-c", command + "; kill -KILL $PPID; sleep 5" };
    };
    const QString f = QStringLiteral("\"$TALLOWMERE_FILL_FILE\"");
    QTest::newRow("filling") << "stallfs"
                             << "stalled"
                             << "nothing" << QStringList { "--hold" };
    QTest::newRow("holding") << "tmpfs"
                             << "held"
                             << "nothing" << QStringList { "--hold" };
    QTest::newRow("topping up") << "tmpfs"
                                << "topped up"
                                << "nothing" << QStringList { "--hold", "--top-up" };
    QTest::newRow("running COMMAND") << "tmpfs"
                                     << ""
                                     << "nothing" << killedBy(":");
    QTest::newRow("renamed by COMMAND") << "tmpfs"
                                        << ""
                                        << "moved" << killedBy("mv " + f + " " + f + ".moved");
    QTest::newRow("a user's file at its name")
        << "tmpfs"
        << ""
        << "user's" << QStringList { "2M" } + killedBy("rm " + f + "; echo mine > " + f);
    QTest::newRow("kept") << "tmpfs"
                          << ""
                          << "kept" << QStringList { "--keep" } + killedBy(":");
    QTest::newRow("inodes, holding") << "tmpfs nr_inodes=400"
                                     << "held"
                                     << "nothing" << QStringList { "--inodes", "--hold" };
    // Not killed: COMMAND finds the guardian (none with --keep) holding /dev/null, its socket and what it
    // guards, itself no socket; the guardian is gone when the run is.
    const QString guardian
        = QStringLiteral("for p in /proc/[0-9]*; do [ \"$(cut -d' ' -f2,4 $p/stat)\" = \"(fill-guardian) $PPID\" ] && "
                         "g=$p; done; ! ls -l /proc/$$/fd | grep -q socket && ");
    const QStringList checked { "--run", "sh", "-c",
                                guardian
                                    + "[ \"$(readlink $g/fd/0 $g/fd/1 $g/fd/2 | sort -u)\" = /dev/null ] && [ $(ls "
                                      "$g/fd | wc -l) = 6 ] && ls -l $g/fd | grep -q socket && echo $g" };
    QTest::newRow("not killed") << "tmpfs"
                                << "none"
                                << "nothing" << checked;
    QTest::newRow("inodes, not killed") << "tmpfs nr_inodes=400"
                                        << "none"
                                        << "nothing" << QStringList { "--inodes" } + checked;
    QTest::newRow("guardian stopped, not killed")
        << "tmpfs"
        << "none"
        << "nothing" << QStringList { "--run", "sh", "-c", guardian + "kill -STOP ${g#/proc/}" };
    QTest::newRow("kept, not killed") << "tmpfs"
                                      << "none"
                                      << "kept"
                                      << QStringList { "--keep", "--run", "sh", "-c", guardian + "[ -z \"$g\" ]" };
    QTest::newRow("inodes, running COMMAND") << "tmpfs nr_inodes=400"
                                             << ""
                                             << "nothing" << QStringList { "--inodes" } + killedBy(":");
}

// Killed outright at any point of a held run, the filler leaves neither its fill nor a process on the
// volume, and the volume's space and inodes are back within a moment, in every try.
void tst_CliRun::killedRunLeavesNoFill()
{
    QFETCH(QString, volume);
    QFETCH(QString, kill);
    QFETCH(QString, left);
    QFETCH(QStringList, arguments);
    const QString why = volume == QLatin1String("stallfs") ? StallVolume::unavailable() : Volume::unavailable(volume);
    if (!why.isEmpty()) {
        QSKIP(qPrintable(why));
    }
    const auto stalling = volume == QLatin1String("stallfs") ? std::make_unique<StallVolume>(32 * MiB) : nullptr;
    const auto plain = stalling ? nullptr : std::make_unique<Volume>(volume, 32 * MiB);
    QVERIFY2(stalling ? stalling->isMounted() : plain->isMounted(),
             qPrintable(stalling ? stalling->error() : plain->error()));
    const QString dir = stalling ? stalling->path() : plain->path();
    for (int attempt = 1; attempt <= 3; ++attempt) {
        const QString path = dir + QStringLiteral("/fill%1").arg(attempt);
        QVERIFY(writeFile(dir + QStringLiteral("/other"), QByteArray(2 * MiB, 'o')));
        const qint64 before = availableAt(dir);
        QVERIFY(!stalling
                || stalling->command("write_stall_ms=2000 write_stall_every=16 write_stall_limit="
                                     + QByteArray::number(attempt)));
        QProcess filler;
        filler.start(QStringLiteral(TALLOWMERE_FILL), QStringList { path } + arguments);
        if (kill == QLatin1String("stalled")) {
            QTRY_VERIFY(stalling->counter(QStringLiteral("stalling")) > 0);
        } else if (!kill.isEmpty() && kill != QLatin1String("none")) {
            QVERIFY(
                readUntil(filler, [](const QString& err) { return err.contains(QStringLiteral("left available")); }));
        }
        if (kill == QLatin1String("topped up")) {
            QVERIFY(QFile::remove(dir + QStringLiteral("/other")));
            QTRY_VERIFY(availableAt(dir) < 8 * KiB);
        }
        if (!kill.isEmpty() && kill != QLatin1String("none")) {
            ::kill(static_cast<pid_t>(filler.processId()), SIGKILL);
        }
        QVERIFY(filler.waitForFinished(60000));
        QCOMPARE(filler.exitStatus() == QProcess::NormalExit && filler.exitCode() == 0, kill == QLatin1String("none"));
        const QString guardian = QString::fromLocal8Bit(filler.readAllStandardOutput().trimmed());
        QVERIFY2(guardian.isEmpty() || !QFileInfo::exists(guardian), "the guardian outlived the run");
        const auto problem = [&]() -> QString {
            if (QFileInfo::exists(path) != (left == QLatin1String("kept") || left == QLatin1String("user's"))) {
                return QStringLiteral("the fill's name is left: %1").arg(QFileInfo::exists(path));
            }
            if (left == QLatin1String("kept")) {
                return checkFillFile(path, fileSize(path));
            }
            if ((left == QLatin1String("user's") && readFile(path) != "mine\n")
                || (left == QLatin1String("moved") && fileSize(path + QStringLiteral(".moved")) != 0)) {
                return QStringLiteral("the user's file was touched, or the moved fill not emptied");
            }
            if (availableAt(dir) < before - 64 * KiB) {
                return QStringLiteral("%1 of %2 bytes back").arg(availableAt(dir)).arg(before);
            }
            return holdersOf(dir).isEmpty() ? QString() : QStringLiteral("still open in ") + holdersOf(dir).join(u' ');
        };
        // A run that was not killed leaves no guardian to wait for.
        static_cast<void>(
            QTest::qWaitFor([&] { return problem().isEmpty(); }, kill == QLatin1String("none") ? 0 : 5000));
        QVERIFY2(problem().isEmpty(), qPrintable(QStringLiteral("try %1: %2").arg(attempt).arg(problem())));
        QFile::remove(path);
    }
}

QTEST_MAIN(tst_CliRun)
#include "tst_cli_run.moc"
