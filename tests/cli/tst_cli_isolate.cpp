#include "clifixture.h"

#include "cli/isolatemessages.h"

class tst_CliIsolate : public QObject
{
    Q_OBJECT

private slots:
    void isolate_data();
    void isolate();
    void isolateFollowsNoLinkSwappedIn();
};

void tst_CliIsolate::isolate_data()
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
}

void tst_CliIsolate::isolate()
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
void tst_CliIsolate::isolateFollowsNoLinkSwappedIn()
{
    TMPFS(volume, MiB);
    const QString dir = volume.filePath(QStringLiteral("dir/")), started = QDir::currentPath();
    QVERIFY(QDir().mkpath(dir + "sub/x") && QDir().mkpath(volume.filePath("out/x")) && QDir::setCurrent(dir + "sub"));
    platform::Isolation whole(dir, 0, {}), below(dir + "sub/x", 0, {});
    QVERIFY(QDir::setCurrent(started) && QDir(dir).rename("sub", "old") && QFile::link("../out", dir + "sub"));
    QVERIFY(cli::isolationFailureMessage(below.lay()).contains(QStringLiteral("symbolic link"))
            && !whole.lay().failed());
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(whole.join() == 0 && ::creat("written", 0600) >= 0 ? 0 : 1);
    }
    QVERIFY(child > 0 && ::waitpid(child, nullptr, 0) == child && !QFile::exists(volume.filePath("out/written")));
    for (const char* working : { "p/d/w", "" }) {
        QVERIFY(QDir().mkpath(volume.filePath("p/d/w")) && QDir::setCurrent(volume.filePath(working)));
        platform::Isolation swapped(volume.filePath("p/d"), 0, {});
        QVERIFY(!swapped.lay().failed() && QDir(volume.path()).rename("p", "old")
                && QDir().mkpath(volume.filePath("p/d/w")));
        const pid_t joined = ::fork();
        if (joined == 0) {
            // From outside DIR by its path, and from the working folder inside it.
            const bool joined = swapped.join() == 0;
            ::_exit(joined && (::creat("p/d/written", 0600) >= 0 || ::creat("written", 0600) >= 0) ? 0 : 1);
        }
        QVERIFY(joined > 0 && ::waitpid(joined, nullptr, 0) == joined && QDir::setCurrent(started));
        const QString failure = cli::isolationFailureMessage(swapped.joinFailure());
        QVERIFY2(failure.contains(QStringLiteral("replaced")), qPrintable(failure));
        QVERIFY(!QFile::exists(volume.filePath("p/d/written")) && !QFile::exists(volume.filePath("p/d/w/written")));
        QVERIFY(QDir(volume.filePath("old")).removeRecursively() && QDir(volume.filePath("p")).removeRecursively());
    }
}

QTEST_MAIN(tst_CliIsolate)
#include "tst_cli_isolate.moc"
