#include "app/mainwindow.h"
#include "platform/desktop/qtdesktop.h"

#include "fakedesktop.h"
#include "fillfile.h"
#include "sizes.h"
#include "tmpfs.h"
#include "windowparts.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

namespace {

const QString overwriteQuestion = QStringLiteral("ファイルは既に存在しています。上書きしていいですか。");

// A window on a fresh tmpfs, with its settings file there too.
struct Fixture
{
    Tmpfs volume { 64 * MiB };
    FakeDesktop desktop;
    QString ini = volume.filePath(QStringLiteral("settings.ini"));
    platform::SettingsStore store { ini };
    MainWindow window { desktop, store };
    QString path(const QString& name) const { return volume.filePath(name); }
};

} // namespace

#define FIXTURE(f)                                                                                                     \
    if (const QString why = mountingUnavailable(); !why.isEmpty())                                                     \
        QSKIP(qPrintable(why));                                                                                        \
    Fixture f;                                                                                                         \
    if (!f.volume.isMounted())                                                                                         \
        QFAIL(qPrintable(f.volume.error()));

class tst_RunControl : public QObject
{
    Q_OBJECT

private slots:
    void startRunsAFillAndBeepsOnce_data();
    void startRunsAFillAndBeepsOnce();
    void buttonStatesDuringAndAfterARun();
    void startOnAnExistingFile_data();
    void startOnAnExistingFile();
    void startWithAnEmptyPath();
    void startWhenSettingsCannotBeSaved();
    void fileThatAppearsBeforeTheRunIsLeftAlone();
    void stopButtonEndsTheRun();
    void focusFollowsTheRun();
    void latePressesAreDropped();
    void stopWithoutARunDoesNothing();

    void deleteWithAnEmptyPathBeepsOnly();
    void deleteAnsweredNoKeepsTheFile();
    void deleteOfAMissingFileIsSilent();
    void deleteRemovesExactlyTheNamedFile();
    void deleteRefusedBySystem();

    void browseCancelledKeepsTheTypedPath();
    void browsePickedSetsThePath();
    void realDialogOpensInTheFolderGiven_data();
    void realDialogOpensInTheFolderGiven();
    void realDialogRefusesAMissingFolder();

    void exitDuringARun_data();
    void exitDuringARun();
    void throughAStallingDisk_data();
    void throughAStallingDisk();
};

void tst_RunControl::startRunsAFillAndBeepsOnce_data()
{
    QTest::addColumn<QString>("size");
    QTest::newRow("3") << "3";
    // With a Japanese input method on: 3 MB, not a full disk; stored as typed.
    QTest::newRow("full-width 3") << QStringLiteral("３");
}

void tst_RunControl::startRunsAFillAndBeepsOnce()
{
    QFETCH(QString, size);
    FIXTURE(f);
    pathEdit(f.window)->setText(f.path(QStringLiteral("fill.dat")));
    sizeEdit(f.window)->setText(size);
    mbButton(f.window)->setChecked(true);
    QTest::mouseClick(startButton(f.window), Qt::LeftButton);
    QVERIFY(f.desktop.boxes.isEmpty());
    QCOMPARE(f.desktop.beeps, 1);
    const QString problem = checkFillFile(f.path(QStringLiteral("fill.dat")), 3 * MiB);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QCOMPARE(storedSetting(f.ini, QStringLiteral("OUTFILE")), f.path(QStringLiteral("fill.dat")));
    QCOMPARE(storedSetting(f.ini, QStringLiteral("SIZE")), size);
    QCOMPARE(storedSetting(f.ini, QStringLiteral("SIZESCALE")), QStringLiteral("1"));
}

void tst_RunControl::buttonStatesDuringAndAfterARun()
{
    FIXTURE(f);
    pathEdit(f.window)->setText(f.path(QStringLiteral("fill.dat")));
    sizeEdit(f.window)->setText(QStringLiteral("abc")); // fills the disk: several passes
    QStringList during;
    f.desktop.everyPass = [&](int pass) {
        during.append(buttonStates(f.window));
        // Settings are saved before the writer starts.
        if (pass == 1) {
            QCOMPARE(storedSetting(f.ini, QStringLiteral("SIZE")), QStringLiteral("abc"));
        }
        // Text boxes and options stay usable during a run.
        QVERIFY(pathEdit(f.window)->isEnabled() && mbButton(f.window)->isEnabled()
                && changeOutputAction(f.window)->isEnabled());
    };
    QCOMPARE(buttonStates(f.window), QStringLiteral("11101"));
    f.window.startFill();
    QVERIFY(during.size() > 2);
    QCOMPARE(during.front(), QStringLiteral("00010"));
    QCOMPARE(during.back(), QStringLiteral("00010"));
    QCOMPARE(buttonStates(f.window), QStringLiteral("11101"));
    QCOMPARE(f.desktop.beeps, 1);
    QVERIFY(f.volume.available() < KiB);
}

void tst_RunControl::startOnAnExistingFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("answer");

    QTest::newRow("answered No") << "old.dat" << int(platform::AnswerNo);
    QTest::newRow("hidden file answered No") << ".profile" << int(platform::AnswerNo);
    QTest::newRow("wildcards are part of the name, No") << "a*?.dat" << int(platform::AnswerNo);
    QTest::newRow("answered Yes") << "old.dat" << int(platform::AnswerYes);
}

void tst_RunControl::startOnAnExistingFile()
{
    QFETCH(QString, name);
    QFETCH(int, answer);
    FIXTURE(f);
    const QString path = f.path(name);
    QVERIFY(writeFile(path, "precious"));
    pathEdit(f.window)->setText(path);
    sizeEdit(f.window)->setText(QStringLiteral("2"));
    f.desktop.answers = { answer };
    f.window.startFill();
    QCOMPARE(f.desktop.boxes.size(), 1);
    QCOMPARE(f.desktop.boxes[0].prompt, overwriteQuestion);
    QCOMPARE(f.desktop.boxes[0].code, 52);
    if (answer == platform::AnswerNo) {
        QCOMPARE(fileSize(path), qint64(8));
        QCOMPARE(f.desktop.beeps, 0);
        QVERIFY(!QFile::exists(f.ini)); // nothing saved
    } else {
        QCOMPARE(fileSize(path), 2 * KiB);
        QCOMPARE(f.desktop.beeps, 1);
    }
    QCOMPARE(buttonStates(f.window), QStringLiteral("11101"));
}

void tst_RunControl::startWithAnEmptyPath()
{
    FIXTURE(f);
    sizeEdit(f.window)->setText(QStringLiteral("7"));
    f.window.startFill();
    QCOMPARE(f.desktop.boxes.size(), 1);
    QCOMPARE(f.desktop.boxes[0].prompt, QStringLiteral("作成するファイルを入力してください"));
    QCOMPARE(f.desktop.beeps, 1);
    QCOMPARE(buttonStates(f.window), QStringLiteral("11101"));
    QCOMPARE(storedSetting(f.ini, QStringLiteral("OUTFILE")), QString());
    QCOMPARE(storedSetting(f.ini, QStringLiteral("SIZE")), QStringLiteral("7"));
    QCOMPARE(storedSetting(f.ini, QStringLiteral("SIZESCALE")), QStringLiteral("0"));
}

void tst_RunControl::startWhenSettingsCannotBeSaved()
{
    FIXTURE(f);
    QVERIFY(writeFile(f.path(QStringLiteral("blocker")), "x"));
    platform::SettingsStore store(f.path(QStringLiteral("blocker/settings.ini")));
    MainWindow window(f.desktop, store);
    pathEdit(window)->setText(f.path(QStringLiteral("fill.dat")));
    sizeEdit(window)->setText(QStringLiteral("4"));
    window.startFill();
    QCOMPARE(f.desktop.boxes.size(), 1);
    QVERIFY(f.desktop.boxes[0].prompt.startsWith(QStringLiteral("設定を保存できません。")));
    QCOMPARE(f.desktop.boxes[0].code, 16);
    QCOMPARE(fileSize(f.path(QStringLiteral("fill.dat"))), 4 * KiB); // the run still ran
    QCOMPARE(f.desktop.beeps, 1);

    // Once the folder can be made, closing saves what Start could not.
    QVERIFY(QFile::remove(f.path(QStringLiteral("blocker"))));
    QVERIFY(QDir(f.path(QString())).mkdir(QStringLiteral("blocker")));
    window.close();
    QCOMPARE(f.desktop.boxes.size(), 1);
    const QString ini = f.path(QStringLiteral("blocker/settings.ini"));
    QCOMPARE(storedSetting(ini, QStringLiteral("OUTFILE")), f.path(QStringLiteral("fill.dat")));
    QCOMPARE(storedSetting(ini, QStringLiteral("SIZE")), QStringLiteral("4"));
}

// Start found no file, so nobody was asked; one that another program puts there while the
// settings message is open must not be emptied.
void tst_RunControl::fileThatAppearsBeforeTheRunIsLeftAlone()
{
    FIXTURE(f);
    QVERIFY(writeFile(f.path(QStringLiteral("blocker")), "x"));
    platform::SettingsStore store(f.path(QStringLiteral("blocker/settings.ini")));
    MainWindow window(f.desktop, store);
    const QString path = f.path(QStringLiteral("fill.dat"));
    pathEdit(window)->setText(path);
    sizeEdit(window)->setText(QStringLiteral("4"));
    f.desktop.onBox = [&](const FakeDesktop::Box& box) {
        if (box.prompt.startsWith(QStringLiteral("設定を保存できません。"))) {
            QVERIFY(writeFile(path, "precious"));
        }
    };
    window.startFill();
    QCOMPARE(readFile(path), QByteArray("precious"));
    QCOMPARE(f.desktop.boxes.size(), 2);
    QCOMPARE(f.desktop.boxes[1].prompt.section(QStringLiteral("\r\n"), 0, 1),
             path + QStringLiteral("\r\nファイルを作成できません。"));
    QCOMPARE(f.desktop.beeps, 1);
    QCOMPARE(buttonStates(window), QStringLiteral("11101"));
}

void tst_RunControl::stopButtonEndsTheRun()
{
    FIXTURE(f);
    pathEdit(f.window)->setText(f.path(QStringLiteral("fill.dat")));
    f.desktop.onPass[3] = [&f] { f.window.stopFill(); };
    f.window.startFill();
    QCOMPARE(f.desktop.passes, 3);
    QCOMPARE(f.desktop.beeps, 1);
    QCOMPARE(buttonStates(f.window), QStringLiteral("11101"));
    const qint64 length = fileSize(f.path(QStringLiteral("fill.dat")));
    QVERIFY(length < 32 * MiB);
    const QString problem = checkFillFile(f.path(QStringLiteral("fill.dat")), length);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

// Stop with no run to stop does nothing, and leaves nothing behind that would stop the next run.
void tst_RunControl::stopWithoutARunDoesNothing()
{
    FIXTURE(f);
    pathEdit(f.window)->setText(f.path(QStringLiteral("x")));
    sizeEdit(f.window)->setText(QStringLiteral("2"));
    mbButton(f.window)->setChecked(true);
    f.window.stopFill();
    QVERIFY(f.desktop.boxes.isEmpty());
    QCOMPARE(f.desktop.beeps, 0);
    QVERIFY(f.desktop.dialogDirs.isEmpty());
    f.window.startFill();
    QCOMPARE(fileSize(f.path(QStringLiteral("x"))), 2 * MiB);
}

void tst_RunControl::deleteWithAnEmptyPathBeepsOnly()
{
    FIXTURE(f);
    f.window.deleteFillFile();
    QCOMPARE(f.desktop.beeps, 1);
    QVERIFY(f.desktop.boxes.isEmpty());
}

void tst_RunControl::deleteAnsweredNoKeepsTheFile()
{
    FIXTURE(f);
    const QString path = f.path(QStringLiteral("keep.dat"));
    QVERIFY(writeFile(path, "keep"));
    pathEdit(f.window)->setText(path);
    f.desktop.answers = { platform::AnswerNo };
    f.window.deleteFillFile();
    QCOMPARE(f.desktop.boxes.size(), 1);
    QCOMPARE(f.desktop.boxes[0].prompt, path + QStringLiteral("を本当に削除していいですか。"));
    QCOMPARE(f.desktop.boxes[0].code, 52);
    QCOMPARE(fileSize(path), qint64(4));
}

void tst_RunControl::deleteOfAMissingFileIsSilent()
{
    FIXTURE(f);
    QVERIFY(QDir(f.volume.path()).mkdir(QStringLiteral("folder")));
    for (const QString& name : { QStringLiteral("missing.dat"), QStringLiteral("folder") }) {
        f.desktop.boxes.clear();
        pathEdit(f.window)->setText(f.path(name));
        f.desktop.answers = { platform::AnswerYes };
        f.window.deleteFillFile();
        QCOMPARE(f.desktop.boxes.size(), 1); // the question only
    }
    QCOMPARE(f.desktop.beeps, 0);
    QVERIFY(QFileInfo(f.path(QStringLiteral("folder"))).isDir());
}

void tst_RunControl::deleteRemovesExactlyTheNamedFile()
{
    FIXTURE(f);
    for (const char* name : { "a*", "ab", "ac", "a?" }) {
        QVERIFY(writeFile(f.path(QString::fromLatin1(name)), name));
    }
    pathEdit(f.window)->setText(f.path(QStringLiteral("a*")));
    f.desktop.answers = { platform::AnswerYes };
    f.window.deleteFillFile();
    QCOMPARE(f.desktop.boxes.size(), 1);
    QCOMPARE(f.desktop.beeps, 0);
    QVERIFY(!QFile::exists(f.path(QStringLiteral("a*"))));
    for (const char* name : { "ab", "ac", "a?" }) {
        QVERIFY2(QFile::exists(f.path(QString::fromLatin1(name))), name);
    }
}

void tst_RunControl::deleteRefusedBySystem()
{
    FIXTURE(f);
    const QString path = f.path(QStringLiteral("locked.dat"));
    QVERIFY(writeFile(path, "locked"));
    QVERIFY(f.volume.remountReadOnly());
    pathEdit(f.window)->setText(path);
    f.desktop.answers = { platform::AnswerYes };
    f.window.deleteFillFile();
    QCOMPARE(f.desktop.boxes.size(), 2);
    QCOMPARE(f.desktop.boxes[1].code, 16);
    const QString head = path + QStringLiteral("\r\nファイルを削除できません。\r\n");
    QVERIFY(f.desktop.boxes[1].prompt.startsWith(head));
    QVERIFY(f.desktop.boxes[1].prompt.size() > head.size());
    QCOMPARE(fileSize(path), qint64(6));
}

void tst_RunControl::browseCancelledKeepsTheTypedPath()
{
    FIXTURE(f);
    const QString typed = f.path(QStringLiteral("sub/typed.dat"));
    pathEdit(f.window)->setText(typed);
    f.desktop.dialogAnswers = { std::nullopt };
    QTest::mouseClick(browseButton(f.window), Qt::LeftButton);
    QCOMPARE(pathEdit(f.window)->text(), typed);
    QCOMPARE(f.desktop.dialogDirs, QStringList { f.path(QStringLiteral("sub")) });
    QCOMPARE(f.desktop.dialogFileNames, QStringList { QString() });
    QCOMPARE(f.desktop.dialogFlags, QList<int> { 2623494 });
}

void tst_RunControl::browsePickedSetsThePath()
{
    FIXTURE(f);
    const QString picked = f.path(QStringLiteral("picked.dat"));
    f.desktop.dialogAnswers = { picked, std::nullopt };
    changeOutputAction(f.window)->trigger(); // the File menu's item does what Browse does
    QCOMPARE(pathEdit(f.window)->text(), picked);
    // The next dialog opens in the picked file's folder, with the file named.
    f.window.browse();
    QCOMPARE(f.desktop.dialogDirs.value(1), f.volume.path());
    QCOMPARE(f.desktop.dialogFileNames.value(1), picked);
    QCOMPARE(pathEdit(f.window)->text(), picked);
    // An empty path opens the dialog at the root.
    pathEdit(f.window)->clear();
    f.desktop.dialogAnswers = { std::nullopt };
    f.window.browse();
    QCOMPARE(f.desktop.dialogDirs.value(2), QStringLiteral("/"));
}

void tst_RunControl::realDialogOpensInTheFolderGiven_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("lastPick");
    QTest::addColumn<QString>("named");
    QTest::newRow("nothing picked yet") << "b"
                                        << ""
                                        << "";
    QTest::newRow("last pick in that folder") << "a"
                                              << "a/x.dat"
                                              << "x.dat";
    QTest::newRow("last pick elsewhere") << "b"
                                         << "a/x.dat"
                                         << "";
}

void tst_RunControl::realDialogOpensInTheFolderGiven()
{
    QFETCH(QString, folder);
    QFETCH(QString, lastPick);
    QFETCH(QString, named);
    TMPFS(volume, MiB);
    QVERIFY(QDir(volume.path()).mkpath(QStringLiteral("a")));
    QVERIFY(QDir(volume.path()).mkpath(QStringLiteral("b")));
    QVERIFY(writeFile(volume.filePath(QStringLiteral("a/x.dat")), "x"));
    QString shownDir;
    QString shownName = QStringLiteral("(no dialog)");
    QTimer person;
    connect(&person, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
            shownDir = dialog->directory().absolutePath();
            auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            shownName = edit ? edit->text() : QStringLiteral("(no name box)");
            dialog->reject();
        } else if (auto* other = qobject_cast<QDialog*>(modal)) {
            other->reject();
        }
    });
    person.start(20);
    platform::QtDesktop desktop;
    const auto picked = desktop.openFileDialog(volume.filePath(folder),
                                               lastPick.isEmpty() ? QString() : volume.filePath(lastPick), 2623494);
    person.stop();

    QVERIFY(!picked);
    QCOMPARE(shownDir, volume.filePath(folder));
    QCOMPARE(shownName, named);
}

void tst_RunControl::realDialogRefusesAMissingFolder()
{
    TMPFS(volume, MiB);
    const QString missing = volume.filePath(QStringLiteral("missing/fill.dat"));
    const QString fine = volume.filePath(QStringLiteral("fill.dat"));
    // A person at the real dialog: types a name in a missing folder, reads the message, then types
    // one that can be made. Whatever else shows up is cancelled, so no test waits for anyone.
    QStringList names { missing, fine };
    QStringList messages;
    int dialogs = 0;
    QTimer person;
    connect(&person, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            messages << box->text();
            box->accept();
        } else if (auto* dialog = qobject_cast<QFileDialog*>(modal); dialog && !names.isEmpty()) {
            ++dialogs;
            auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            QVERIFY(edit);
            edit->setText(names.takeFirst());
            QMetaObject::invokeMethod(dialog, "accept");
        } else if (auto* other = qobject_cast<QDialog*>(modal)) {
            other->reject();
        }
    });
    person.start(20);
    platform::QtDesktop desktop;
    const auto picked = desktop.openFileDialog(volume.path(), QString(), 2623494);
    person.stop();

    QCOMPARE(dialogs, 2);
    QCOMPARE(messages.size(), 1);
    QVERIFY(messages.first().startsWith(QDir::toNativeSeparators(volume.filePath(QStringLiteral("missing")))));
    QVERIFY(picked.has_value());
    QCOMPARE(*picked, QDir::toNativeSeparators(fine));
}

// The File menu's exit item and the close box stop a run, keep the file and save the settings.
void tst_RunControl::exitDuringARun_data()
{
    QTest::addColumn<bool>("menu");
    QTest::newRow("File menu exit") << true;
    QTest::newRow("close box") << false;
}

void tst_RunControl::exitDuringARun()
{
    QFETCH(bool, menu);
    FIXTURE(f);
    f.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f.window));
    const QString path = f.path(QStringLiteral("fill.dat"));
    pathEdit(f.window)->setText(path);
    sizeEdit(f.window)->setText(QStringLiteral("50"));
    mbButton(f.window)->setChecked(true);
    f.desktop.onPass[2] = [&f, menu] {
        if (menu) {
            exitAction(f.window)->trigger();
        } else {
            f.window.close();
        }
        sizeEdit(f.window)->setText(QStringLiteral("changed after close"));
    };
    f.window.startFill();
    QVERIFY(!f.window.isVisible());
    QCOMPARE(f.desktop.passes, 2);
    QCOMPARE(f.desktop.beeps, 1);
    const qint64 length = fileSize(path);
    QCOMPARE(length, KiB + MiB);
    const QString problem = checkFillFile(path, length);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QCOMPARE(storedSetting(f.ini, QStringLiteral("SIZE")), QStringLiteral("50"));
    QCOMPARE(storedSetting(f.ini, QStringLiteral("SIZESCALE")), QStringLiteral("1"));
}

// A slow or failing device (a USB stick, a network share, a virtual disk) stalls writes and flushes
// for seconds: the window keeps pumping meanwhile, Stop and the close box act at once, and a failure
// at the close is reported.
void tst_RunControl::throughAStallingDisk_data()
{
    QTest::addColumn<QByteArray>("commands");
    QTest::addColumn<QString>("action"); // what the user does while the disk stalls
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("complete"); // the file reaches its 16 MiB

    const QString failed = QStringLiteral("\r\n書き込みが途中で終了しました。\r\nInput/output error");
    QTest::newRow("write stalls 2 s, flush 3 s")
        << QByteArray("write_stall_ms=2000 write_stall_every=8 write_stall_limit=1 fsync_stall_ms=3000") << "none"
        << "" << true;
    QTest::newRow("Stop during a stalled write")
        << QByteArray("write_stall_ms=2000 write_stall_every=8 write_stall_limit=1") << "stop"
        << "" << false;
    QTest::newRow("closed during a stalled flush") << QByteArray("flush_stall_ms=3000") << "close"
                                                   << "" << true;
    QTest::newRow("EIO at the close") << QByteArray("flush_errno=EIO") << "none" << failed << true;
    // The data of a run goes to the device as it goes: a failure there ends the run early.
    QTest::newRow("EIO from a flush during the run") << QByteArray("fsync_errno=EIO") << "none" << failed << false;
}

void tst_RunControl::throughAStallingDisk()
{
    QFETCH(QByteArray, commands);
    QFETCH(QString, action);
    QFETCH(QString, message);
    QFETCH(bool, complete);
    STALLFS(volume, 64 * MiB);
    QVERIFY(volume.command(commands));
    FakeDesktop desktop;
    const QString ini = QDir(QDir::tempPath()).filePath(QStringLiteral("tallowmere-stall-settings.ini"));
    QFile::remove(ini);
    platform::SettingsStore store(ini);
    MainWindow window(desktop, store);
    window.show();
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    pathEdit(window)->setText(path);
    sizeEdit(window)->setText(QStringLiteral("16"));
    mbButton(window)->setChecked(true);

    QElapsedTimer clock;
    clock.start();
    qint64 lastPass = 0;
    qint64 longestGap = 0;
    qint64 sizeAtStop = -1;
    bool acted = false;
    const auto pass = [&] {
        longestGap = std::max(longestGap, clock.elapsed() - lastPass);
        lastPass = clock.elapsed();
        if (acted || action == QLatin1String("none") || volume.counter(QStringLiteral("stalling")) <= 0) {
            return;
        }
        acted = true;
        if (action == QLatin1String("stop")) {
            sizeAtStop = fileSize(path);
            stopButton(window)->click();
            // Acknowledged while the write is still stalled: no further block, nothing left for Stop.
            QCOMPARE(buttonStates(window), QStringLiteral("00000"));
        } else {
            QVERIFY(window.close());
            QVERIFY(!window.isVisible());
            QCOMPARE(storedSetting(ini, QStringLiteral("SIZE")), QStringLiteral("16"));
        }
        QVERIFY(volume.counter(QStringLiteral("stalling")) > 0);
    };
    desktop.everyPass = [&](int) { pass(); };
    desktop.onIdlePass = pass;
    window.startFill();
    longestGap = std::max(longestGap, clock.elapsed() - lastPass);

    // Far below the stalls: the window never waited for the disk.
    QVERIFY2(longestGap < 1000, qPrintable(QStringLiteral("%1 ms without a pass").arg(longestGap)));
    QCOMPARE(acted, action != QLatin1String("none"));
    QCOMPARE(desktop.beeps, 1);
    QCOMPARE(buttonStates(window), QStringLiteral("11101"));
    const qint64 size = fileSize(path);
    QCOMPARE(checkFillFile(path, size), QString());
    if (action == QLatin1String("stop")) {
        QVERIFY2(size - sizeAtStop <= MiB, qPrintable(QStringLiteral("%1 -> %2").arg(sizeAtStop).arg(size)));
    }
    QCOMPARE(size == 16 * MiB, complete);
    if (message.isEmpty()) {
        QVERIFY(desktop.boxes.isEmpty());
    } else {
        QCOMPARE(desktop.boxes.size(), 1);
        QCOMPARE(desktop.boxes[0].prompt, path + message);
    }
    QFile::remove(ini);
}

// The focus leaves a pressed Start for Stop, so Space, which presses the focused button, stops the
// run rather than replacing the path the focus would otherwise have reached; afterwards it is back
// on Start.
void tst_RunControl::focusFollowsTheRun()
{
    FIXTURE(f);
    const QString path = f.path(QStringLiteral("fill.dat"));
    pathEdit(f.window)->setText(path);
    f.window.show();
    QVERIFY(QTest::qWaitForWindowActive(&f.window));
    startButton(f.window)->setFocus(Qt::MouseFocusReason);
    QWidget* focusInRun = nullptr;
    f.desktop.onPass[2] = [&] {
        focusInRun = QApplication::focusWidget();
        QTest::keyClick(focusInRun, Qt::Key_Space);
    };
    f.desktop.processRealEvents = true;
    startButton(f.window)->click();
    QCOMPARE(focusInRun, stopButton(f.window));
    QCOMPARE(pathEdit(f.window)->text(), path);
    QVERIFY(fileSize(path) < 32 * MiB); // stopped, not filled
    QCOMPARE(checkFillFile(path, fileSize(path)), QString());
    QCOMPARE(QApplication::focusWidget(), startButton(f.window));
}

// A shortcut presses its button about 100 ms after the key. A press that lands when its button has
// been disabled by a run, or while another button's question is open, does nothing.
void tst_RunControl::latePressesAreDropped()
{
    FIXTURE(f);
    const QString path = f.path(QStringLiteral("fill.dat"));
    pathEdit(f.window)->setText(path);
    sizeEdit(f.window)->setText(QStringLiteral("4"));
    mbButton(f.window)->click();

    // Alt+D, then a click on Start: the delete lands during the run.
    QSignalSpy deletePressed(deleteButton(f.window), &QPushButton::clicked);
    deleteButton(f.window)->animateClick();
    f.desktop.onPass[2] = [&deletePressed] { QVERIFY(deletePressed.wait(5000)); };
    f.desktop.processRealEvents = true;
    startButton(f.window)->click();
    QVERIFY(f.desktop.boxes.isEmpty());
    QCOMPARE(checkFillFile(path, 4 * MiB), QString());
    QCOMPARE(f.desktop.beeps, 1);

    // Alt+D, then Start on the existing file: the delete lands while the overwrite question is open.
    f.desktop.onPass.clear();
    f.desktop.answers = { platform::AnswerNo };
    f.desktop.onBox = [&f](const FakeDesktop::Box&) {
        QSignalSpy pressed(deleteButton(f.window), &QPushButton::clicked);
        deleteButton(f.window)->animateClick();
        QVERIFY(pressed.wait(5000));
    };
    startButton(f.window)->click();
    QCOMPARE(f.desktop.boxes.size(), 1);
    QCOMPARE(f.desktop.boxes[0].prompt, overwriteQuestion);
    QCOMPARE(checkFillFile(path, 4 * MiB), QString());

    // Alt+S, then a window of the program's own opens modally: no run starts under it.
    f.desktop.onBox = nullptr;
    QVERIFY(QFile::remove(path));
    QDialog modal(&f.window);
    modal.setWindowModality(Qt::ApplicationModal);
    modal.show();
    QSignalSpy startPressed(startButton(f.window), &QPushButton::clicked);
    startButton(f.window)->animateClick();
    QVERIFY(startPressed.wait(5000));
    modal.close();
    QCOMPARE(f.desktop.beeps, 1);
    QVERIFY(!QFile::exists(path));
}

QTEST_MAIN(tst_RunControl)
#include "tst_runcontrol.moc"
