// Hostile input and faults against the real window and the real engine: the program stays up,
// shows at most one clear message, loses nothing that was there, and leaves the volume as it should.

#include "core/fillengine.h"
#include "ui/mainwindow.h"
#include "ui/qtdesktop.h"

#include "fakedesktop.h"
#include "fillfile.h"
#include "sizes.h"
#include "tmpfs.h"
#include "windowfixture.h"
#include "windowparts.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <dlfcn.h>

// Locks as a volume without them answers, or as another program that holds one: this test program's
// own flock() stands in for the system's while lockFailure is set.
static int lockFailure = 0;

extern "C" int flock(int fd, int operation) noexcept
{
    if (lockFailure != 0) {
        errno = lockFailure;
        return -1;
    }
    static const auto real = reinterpret_cast<int (*)(int, int)>(::dlsym(RTLD_NEXT, "flock"));
    return real(fd, operation);
}

namespace {

using Icon = platform::Desktop::Icon;

const QString cannotCreate = QStringLiteral("\nファイルを作成できません。\n");

QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
}

} // namespace

class tst_Hostile : public QObject
{
    Q_OBJECT

private slots:
    void pathsThatCannotBeFilled_data();
    void pathsThatCannotBeFilled();
    void namesTakenLiterally_data();
    void namesTakenLiterally();
    void hostileSizes_data();
    void hostileSizes();
    void settingsFileThatIsNoFile_data();
    void settingsFileThatIsNoFile();
    void corruptedSettingsFile();
    void storedPathInAnotherEncoding();
    void diskFullDuringTheHeaderBlock();
    void settingsOnAFullVolume();
    void fileDeletedDuringARun();
    void secondWriterOfTheSameFile();
    void volumeWithoutLocks_data();
    void volumeWithoutLocks();
};

void tst_Hostile::pathsThatCannotBeFilled_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("a directory") << "folder";
    QTest::newRow("in a missing folder") << "missing/fill.dat";
    QTest::newRow("4096+ characters") << QString(4200, u'x');
    QTest::newRow("long folder chain") << QString(QString(200, u'd') + u'/').repeated(25) + QStringLiteral("f");
    QTest::newRow("NUL inside") << QString::fromUtf16(u"fi\u0000ll", 5);
    QTest::newRow("a pipe") << "pipe";
    QTest::newRow("below a file") << "plain.txt/fill.dat";
    // Calls itself a regular file; writing it would rename this test program.
    QTest::newRow("a kernel pseudo-file") << "/proc/self/comm";
    // Read from a name that was no text (a path saved in another encoding): it would make another name.
    QTest::newRow("bytes that were no text") << QStringLiteral("f\uFFFDll.dat");
    QTest::newRow("a lone surrogate") << QString::fromUtf16(u"f\xD800.dat", 6);
}

void tst_Hostile::pathsThatCannotBeFilled()
{
    QFETCH(QString, name);
    TMPFS(volume, 8 * MiB);
    QVERIFY(QDir(volume.path()).mkdir(QStringLiteral("folder")));
    QVERIFY(writeFile(volume.filePath(QStringLiteral("folder/inside.txt")), "inside"));
    QVERIFY(writeFile(volume.filePath(QStringLiteral("plain.txt")), "plain"));
    QVERIFY(QProcess::execute(QStringLiteral("mkfifo"), { volume.filePath(QStringLiteral("pipe")) }) == 0);
    const QStringList before = entries(volume.path());

    FakeDesktop desktop;
    desktop.answers = { true }; // to the overwrite question, where one is asked
    platform::SettingsStore store(volume.filePath(QStringLiteral("settings.ini")));
    MainWindow window(desktop, store);
    const QString path = name.startsWith(u'/') ? name : volume.filePath(name);
    const QByteArray contentBefore = name.startsWith(u'/') ? readFile(path) : QByteArray();
    pathEdit(window)->setText(path);
    QVERIFY(finishStart(window));
    QCOMPARE(name.startsWith(u'/') ? readFile(path) : QByteArray(), contentBefore);

    const auto errors = std::count_if(desktop.boxes.begin(), desktop.boxes.end(),
                                      [](const auto& b) { return b.icon == Icon::Critical; });
    QCOMPARE(errors, 1);
    QVERIFY(desktop.boxes.last().text.startsWith(path + cannotCreate));
    QCOMPARE(desktop.beeps, 1);
    QStringList after = entries(volume.path());
    after.removeAll(QStringLiteral("settings.ini"));
    QCOMPARE(after, before);
    QCOMPARE(fileSize(volume.filePath(QStringLiteral("folder/inside.txt"))), qint64(6));
    QCOMPARE(fileSize(volume.filePath(QStringLiteral("plain.txt"))), qint64(5));
}

void tst_Hostile::namesTakenLiterally_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("wildcards") << "a*?.dat";
    QTest::newRow("Japanese and half-width katakana") << QStringLiteral("試験ﾌｧｲﾙ.dat");
    QTest::newRow("accents and emoji") << QStringLiteral("über\U0001F600.dat");
    QTest::newRow("blanks only") << "   ";
    QTest::newRow("leading dash") << "-rf";
    QTest::newRow("control characters") << QString::fromUtf16(u"a\u0001\u001bb", 4);
}

void tst_Hostile::namesTakenLiterally()
{
    QFETCH(QString, name);
    TMPFS(volume, 8 * MiB);
    for (const char* neighbour : { "a.dat", "ab.dat", "a1.dat" }) {
        QVERIFY(writeFile(volume.filePath(QString::fromLatin1(neighbour)), neighbour));
    }
    FakeDesktop desktop;
    platform::SettingsStore store(volume.filePath(QStringLiteral("settings.ini")));
    MainWindow window(desktop, store);
    // Relative names land in the current folder: make that the test volume.
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(volume.path()));
    pathEdit(window)->setText(name);
    sizeEdit(window)->setText(QStringLiteral("2"));
    QVERIFY(finishStart(window));
    QVERIFY(QDir::setCurrent(previous));

    QVERIFY(desktop.boxes.isEmpty());
    const QString problem = checkFillFile(volume.filePath(name), 2 * KiB);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    for (const char* neighbour : { "a.dat", "ab.dat", "a1.dat" }) {
        QCOMPARE(fileSize(volume.filePath(QString::fromLatin1(neighbour))), qint64(qstrlen(neighbour)));
    }
    // Delete takes the same literal name, and only it.
    pathEdit(window)->setText(volume.filePath(name));
    desktop.answers = { true };
    QVERIFY(finishDelete(window));
    QVERIFY(!QFile::exists(volume.filePath(name)));
    QCOMPARE(entries(volume.path()).size(), 4); // the three neighbours and the settings
}

void tst_Hostile::hostileSizes_data()
{
    QTest::addColumn<QString>("size");
    QTest::addColumn<qint64>("length"); // -1: refused as too large; 0: fills the disk

    QTest::newRow("1e400") << "1e400" << qint64(-1);
    QTest::newRow("-0") << "-0" << qint64(0);
    QTest::newRow("&HFFFFFFFFFFFFFFFF") << "&HFFFFFFFFFFFFFFFF" << qint64(-1);
    QTest::newRow("NUL after a digit") << QString::fromUtf16(u"2\u00003", 3) << 2 * KiB;
    QTest::newRow("control characters") << QString::fromUtf16(u"\u0007\u001b3", 3) << qint64(0);
    QTest::newRow("10000 digits") << QString(10000, u'7') << qint64(-1);
    QTest::newRow("-1e400") << "-1e400" << qint64(-1);
    QTest::newRow("huge negative fits: header only") << "-1e12" << KiB;
}

void tst_Hostile::hostileSizes()
{
    QFETCH(QString, size);
    QFETCH(qint64, length);
    TMPFS(volume, 4 * MiB);
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    QVERIFY(writeFile(path, "existing"));
    FakeDesktop desktop;
    desktop.answers = { true };
    platform::SettingsStore store(volume.filePath(QStringLiteral("settings.ini")));
    MainWindow window(desktop, store);
    pathEdit(window)->setText(path);
    sizeEdit(window)->setText(size);
    QVERIFY(finishStart(window));

    QCOMPARE(desktop.beeps, 1);
    if (length < 0) {
        QCOMPARE(desktop.boxes.size(), 2); // the overwrite question, then the refusal
        QCOMPARE(desktop.boxes[1].text, QStringLiteral("サイズが大きすぎます。\n") + size);
        // What the message box shows stays on the screen however long the text.
        for (const QString& line : platform::displayedText(desktop.boxes[1].text).split(u'\n')) {
            QVERIFY(line.size() <= 201);
        }
        QCOMPARE(fileSize(path), qint64(8)); // untouched
        return;
    }
    QCOMPARE(desktop.boxes.size(), 1);
    const qint64 expected = length > 0 ? length : fileSize(path);
    if (length == 0) {
        QVERIFY(volume.available() < KiB);
    }
    const QString problem = checkFillFile(path, expected);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void tst_Hostile::settingsFileThatIsNoFile_data()
{
    QTest::addColumn<QString>("make"); // a shell command that makes FILE
    QTest::newRow("folder") << "mkdir FILE";
    // Opened, a pipe would hold the program before its window, and a device would read without end.
    QTest::newRow("pipe") << "mkfifo FILE";
    QTest::newRow("link to /dev/zero") << "ln -s /dev/zero FILE";
    QTest::newRow("socket") << "python3 -c 'import socket,sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' FILE";
}

void tst_Hostile::settingsFileThatIsNoFile()
{
    QFETCH(QString, make);
    TMPFS(volume, MiB);
    const QString ini = volume.filePath(QStringLiteral("settings.ini"));
    QCOMPARE(QProcess::execute(QStringLiteral("sh"), { QStringLiteral("-c"), make.replace("FILE", ini) }), 0);
    const auto type = [&ini] { return QFileInfo(ini).isSymLink() ? 'l' : QFileInfo(ini).isDir() ? 'd' : 'o'; };
    const char before = type();
    FakeDesktop desktop;
    {
        platform::SettingsStore store(ini);
        MainWindow window(desktop, store);
        QCOMPARE(pathEdit(window)->text(), QString());
        QVERIFY(kbButton(window)->isChecked());
        window.show();
        QVERIFY(window.close());
    }
    // Said once, with the reason; the file stays as it was.
    QCOMPARE(desktop.boxes.size(), 1);
    QCOMPARE(desktop.boxes.first().icon, Icon::Critical);
    QVERIFY(desktop.boxes.first().text.contains(u'\n' + ini));
    QCOMPARE(type(), before);
}

void tst_Hostile::corruptedSettingsFile()
{
    QTemporaryDir settingsFolder; // for the settings file alone
    const QString ini = settingsFolder.filePath(QStringLiteral("settings.ini"));
    QByteArray garbage;
    for (int i = 0; i < 4096; ++i) {
        garbage.append(static_cast<char>((i * 7919) % 256));
    }
    garbage += "\n[Tallowmere]\nOUTFILE=\"unterminated\nSIZE=\\x\\\nSIZESCALE=@Variant(\\0\\0\\0)\n";
    QVERIFY(writeFile(ini, garbage));
    FakeDesktop desktop;
    {
        platform::SettingsStore store(ini);
        MainWindow window(desktop, store);
        QVERIFY(kbButton(window)->isChecked() || mbButton(window)->isChecked());
        QVERIFY(desktop.boxes.size() <= 1);
        pathEdit(window)->setText(QStringLiteral("/fresh/path"));
        window.show();
        QVERIFY(window.close());
        // The damaged file was replaced by the one saved: no message says it could not be.
        QVERIFY(desktop.boxes.isEmpty());
    }
    // The program's own keys are readable again afterwards.
    platform::SettingsStore store(ini);
    MainWindow window(desktop, store);
    QCOMPARE(pathEdit(window)->text(), QStringLiteral("/fresh/path"));
}

// A path stored in another encoding reads with U+FFFD in it: saving settings the user did not change
// keeps its bytes, so the stored path is still the one that was stored.
void tst_Hostile::storedPathInAnotherEncoding()
{
    QTemporaryDir folder;
    const QString ini = folder.filePath(QStringLiteral("settings.ini"));
    const QByteArray latin1Line = "OUTFILE=/data/f\xe8ll.dat";
    QVERIFY(writeFile(ini, "[Tallowmere]\n" + latin1Line + "\n"));
    FakeDesktop desktop;
    for (const QString& typed : { QString(), QStringLiteral("/data/new.dat") }) {
        platform::SettingsStore store(ini);
        MainWindow window(desktop, store);
        if (!typed.isEmpty()) {
            pathEdit(window)->setText(typed);
        }
        window.show();
        QVERIFY(window.close());
        // The missing keys were written all the same.
        QCOMPARE(storedSetting(ini, QStringLiteral("SIZESCALE")), QStringLiteral("0"));
        if (typed.isEmpty()) {
            QVERIFY2(readFile(ini).contains(latin1Line + '\n'), readFile(ini).constData());
        } else {
            QCOMPARE(storedSetting(ini, QStringLiteral("OUTFILE")), typed);
        }
    }
    QVERIFY(desktop.boxes.isEmpty());
}

void tst_Hostile::diskFullDuringTheHeaderBlock()
{
    TMPFS(volume, 64 * KiB);
    FakeDesktop desktop;
    platform::SettingsStore store(volume.filePath(QStringLiteral("settings.ini")));
    MainWindow window(desktop, store);
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    pathEdit(window)->setText(path);
    QVERIFY(finishStart(window)); // saves the settings, then fills what is left
    QVERIFY(volume.available() < KiB);
    QVERIFY(QFile::remove(path));
    {
        QFile hog(volume.filePath(QStringLiteral("hog")));
        QVERIFY(hog.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        while (hog.write(QByteArray(512, 'h')) == 512) { }
    }
    QVERIFY(volume.available() < KiB);
    desktop.boxes.clear();
    QVERIFY(finishStart(window));
    QCOMPARE(desktop.boxes.size(), 1);
    QVERIFY(desktop.boxes[0].text.startsWith(path + cannotCreate));
    QVERIFY(!QFile::exists(path)); // no file shorter than its header block is left behind
}

// A tester fills the very volume that holds the settings: unchanged settings need no space, a
// change that cannot be saved is said once, and a later save works again once there is room.
void tst_Hostile::settingsOnAFullVolume()
{
    TMPFS(volume, 256 * KiB);
    const QString ini = volume.filePath(QStringLiteral("settings.ini"));
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    FakeDesktop desktop;
    platform::SettingsStore store(ini);
    MainWindow window(desktop, store);
    pathEdit(window)->setText(path);
    desktop.answers = { true };
    for (int run = 0; run < 2; ++run) {
        QVERIFY(finishStart(window)); // fills the volume; the second Start changes nothing in the settings
    }
    QVERIFY(volume.available() < KiB);
    QVERIFY(desktop.boxes.size() == 1 && desktop.boxes[0].question);

    sizeEdit(window)->setText(QStringLiteral("1"));
    window.show();
    QVERIFY(window.close());
    QCOMPARE(desktop.boxes.size(), 2);
    QVERIFY(desktop.boxes[1].text.startsWith(QStringLiteral("設定を保存できません。")));
    QVERIFY2(desktop.boxes[1].text.contains(QStringLiteral("No space left on device")),
             qPrintable(desktop.boxes[1].text));
    // Still unsaved: closing again with the same text says so again rather than pass for saved.
    window.show();
    QVERIFY(window.close());
    QCOMPARE(desktop.boxes.size(), 3);
    QVERIFY(desktop.boxes[2].text.startsWith(QStringLiteral("設定を保存できません。")));
    QVERIFY(readFile(ini).contains("OUTFILE=") && !readFile(ini).contains("SIZE=1"));

    QVERIFY(QFile::remove(path));
    sizeEdit(window)->setText(QStringLiteral("2"));
    window.show();
    QVERIFY(window.close());
    QCOMPARE(desktop.boxes.size(), 3);
    platform::SettingsStore reread(ini);
    QCOMPARE(reread.read(QStringLiteral("SIZE"), QString()), QStringLiteral("2"));
}

void tst_Hostile::fileDeletedDuringARun()
{
    TMPFS(volume, 64 * MiB);
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    WindowFixture f;
    pathEdit(f.window)->setText(path);
    QSignalSpy finished(&f.window, &MainWindow::fillFinished);
    {
        const fill::Pause::Hold held(f.desktop.modalPause());
        f.window.startFill();
        QVERIFY(QTest::qWaitFor([&f] { return f.desktop.modalPause().waiting() == 1; }));
        QVERIFY(QFile::remove(path));
    }
    QVERIFY(finished.wait()); // the run ends at the first write after the deletion
    QCOMPARE(f.desktop.boxes.size(), 1);
    QVERIFY(f.desktop.boxes[0].text.startsWith(path + QStringLiteral("\n書き込みが途中で終了しました。\n")));
    QVERIFY(volume.available() > 60 * MiB); // the space of the orphaned file is given back
    QCOMPARE(f.desktop.beeps, 1);
}

void tst_Hostile::secondWriterOfTheSameFile()
{
    TMPFS(volume, 64 * MiB);
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    const auto first = platform::makeOutputFile();
    fill::Result second;
    int passes = 0;
    fill::Engine engine(*first,
                        { .pass =
                              [&](qint64) {
                                  if (++passes == 2) {
                                      const auto file = platform::makeOutputFile();
                                      fill::Engine intruder(
                                          *file, { .pass = [](qint64) {}, .stopRequested = [] { return false; } });
                                      second = intruder.run(path, 8 * MiB);
                                  }
                              },
                          .stopRequested = [] { return false; } });
    const fill::Result result = engine.run(path, 10 * MiB);
    QCOMPARE(result.outcome, fill::Outcome::TargetReached);
    QCOMPARE(second.outcome, fill::Outcome::CreateFailed);
    QVERIFY(second.error == make_error_code(platform::FileError::InUse));
    const QString problem = checkFillFile(path, 10 * MiB);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void tst_Hostile::volumeWithoutLocks_data()
{
    QTest::addColumn<int>("failure");
    QTest::addColumn<bool>("filled");
    QTest::newRow("no lock service") << ENOLCK << true;
    QTest::newRow("locks not supported") << EOPNOTSUPP << true;
    QTest::newRow("held by another program") << EWOULDBLOCK << false;
}

void tst_Hostile::volumeWithoutLocks()
{
    QFETCH(int, failure);
    QFETCH(bool, filled);
    TMPFS(volume, 8 * MiB);
    const QString fresh = volume.filePath(QStringLiteral("fresh.dat"));
    const QString existing = volume.filePath(QStringLiteral("existing.dat"));
    QVERIFY(writeFile(existing, "kept unless filled"));

    lockFailure = failure;
    const auto file = platform::makeOutputFile();
    fill::Engine engine(*file, { .pass = [](qint64) {}, .stopRequested = [] { return false; } });
    const fill::Result made = engine.run(fresh, 3 * KiB, platform::Existing::Refuse);
    const fill::Result replaced = engine.run(existing, 2 * KiB, platform::Existing::Replace);
    lockFailure = 0;

    if (filled) {
        QCOMPARE(made.outcome, fill::Outcome::TargetReached);
        QCOMPARE(replaced.outcome, fill::Outcome::TargetReached);
        QCOMPARE(checkFillFile(fresh, 3 * KiB), QString());
        QCOMPARE(checkFillFile(existing, 2 * KiB), QString());
    } else {
        QCOMPARE(replaced.outcome, fill::Outcome::CreateFailed);
        QVERIFY(replaced.error == make_error_code(platform::FileError::InUse));
        QCOMPARE(readFile(existing), QByteArray("kept unless filled"));
        // A file made a moment ago and locked already is another copy's: it stays for that copy.
        QCOMPARE(made.outcome, fill::Outcome::CreateFailed);
        QCOMPARE(fileSize(fresh), qint64(0));
    }
}

QTEST_MAIN(tst_Hostile)
#include "tst_hostile.moc"
