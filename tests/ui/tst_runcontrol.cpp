#include "core/numbertext.h"
#include "ui/mainwindow.h"
#include "ui/qtdesktop.h"

#include "fillfile.h"
#include "sizes.h"
#include "tmpfs.h"
#include "windowfixture.h"
#include "windowparts.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

namespace {

using Icon = platform::Desktop::Icon;

const QString overwriteQuestion = QStringLiteral("ファイルは既に存在しています。上書きしていいですか。");

// A window and a fresh tmpfs for it to fill.
struct Fixture : WindowFixture
{
    Tmpfs volume { 64 * MiB };
    QString path(const QString& name) const { return volume.filePath(name); }
    // Until the run waits at its next block, as it does while a modal window is open.
    bool runHeld()
    {
        return QTest::qWaitFor([this] { return desktop.modalPause().waiting() == 1; });
    }
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
    void volumeThatStopsAnswering();
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
    QVERIFY(finish(f.window, &MainWindow::fillFinished,
                   [&f] { QTest::mouseClick(startButton(f.window), Qt::LeftButton); }));
    QVERIFY(f.desktop.boxes.isEmpty());
    QCOMPARE(f.desktop.beeps, 1);
    const QString problem = checkFillFile(f.path(QStringLiteral("fill.dat")), 3 * MiB);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QCOMPARE(storedSetting(f.settings.ini, QStringLiteral("OUTFILE")), f.path(QStringLiteral("fill.dat")));
    QCOMPARE(storedSetting(f.settings.ini, QStringLiteral("SIZE")), size);
    QCOMPARE(storedSetting(f.settings.ini, QStringLiteral("SIZESCALE")), QStringLiteral("1"));
}

void tst_RunControl::buttonStatesDuringAndAfterARun()
{
    FIXTURE(f);
    pathEdit(f.window)->setText(f.path(QStringLiteral("fill.dat")));
    sizeEdit(f.window)->setText(QStringLiteral("abc")); // fills the disk
    QCOMPARE(buttonStates(f.window), QStringLiteral("11101"));
    QSignalSpy finished(&f.window, &MainWindow::fillFinished);
    {
        const fill::Pause::Hold held(f.desktop.modalPause());
        f.window.startFill();
        QCOMPARE(buttonStates(f.window), QStringLiteral("00010")); // at once, while the file is looked for
        QVERIFY(f.runHeld());
        QCOMPARE(buttonStates(f.window), QStringLiteral("00010"));
        // Settings are saved before the writer starts.
        QCOMPARE(storedSetting(f.settings.ini, QStringLiteral("SIZE")), QStringLiteral("abc"));
        // Text boxes and options stay usable during a run.
        QVERIFY(pathEdit(f.window)->isEnabled() && mbButton(f.window)->isEnabled()
                && changeOutputAction(f.window)->isEnabled());
    }
    QVERIFY(finished.wait());
    QCOMPARE(buttonStates(f.window), QStringLiteral("11101"));
    QCOMPARE(f.desktop.beeps, 1);
    QVERIFY(f.volume.available() < KiB);
}

void tst_RunControl::startOnAnExistingFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("yes");

    QTest::newRow("answered No") << "old.dat" << false;
    QTest::newRow("hidden file answered No") << ".profile" << false;
    QTest::newRow("wildcards are part of the name, No") << "a*?.dat" << false;
    QTest::newRow("answered Yes") << "old.dat" << true;
}

void tst_RunControl::startOnAnExistingFile()
{
    QFETCH(QString, name);
    QFETCH(bool, yes);
    FIXTURE(f);
    const QString path = f.path(name);
    QVERIFY(writeFile(path, "precious"));
    pathEdit(f.window)->setText(path);
    sizeEdit(f.window)->setText(QStringLiteral("2"));
    f.desktop.answers = { yes };
    QVERIFY(finishStart(f.window));
    QCOMPARE(f.desktop.boxes.size(), 1);
    QCOMPARE(f.desktop.boxes[0].text, overwriteQuestion);
    QCOMPARE(f.desktop.boxes[0].icon, Icon::Warning);
    QVERIFY(f.desktop.boxes[0].question);
    if (!yes) {
        QCOMPARE(fileSize(path), qint64(8));
        QCOMPARE(f.desktop.beeps, 0);
        QVERIFY(!QFile::exists(f.settings.ini)); // nothing saved
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
    QVERIFY(finishStart(f.window));
    QCOMPARE(f.desktop.boxes.size(), 1);
    QCOMPARE(f.desktop.boxes[0].text, QStringLiteral("作成するファイルを入力してください"));
    QCOMPARE(f.desktop.beeps, 1);
    QCOMPARE(buttonStates(f.window), QStringLiteral("11101"));
    QCOMPARE(storedSetting(f.settings.ini, QStringLiteral("OUTFILE")), QString());
    QCOMPARE(storedSetting(f.settings.ini, QStringLiteral("SIZE")), QStringLiteral("7"));
    QCOMPARE(storedSetting(f.settings.ini, QStringLiteral("SIZESCALE")), QStringLiteral("0"));
}

void tst_RunControl::startWhenSettingsCannotBeSaved()
{
    FIXTURE(f);
    QVERIFY(writeFile(f.path(QStringLiteral("blocker")), "x"));
    platform::SettingsStore store(f.path(QStringLiteral("blocker/settings.ini")));
    MainWindow window(f.desktop, store);
    pathEdit(window)->setText(f.path(QStringLiteral("fill.dat")));
    sizeEdit(window)->setText(QStringLiteral("4"));
    QVERIFY(finishStart(window));
    QCOMPARE(f.desktop.boxes.size(), 1);
    QVERIFY(f.desktop.boxes[0].text.startsWith(QStringLiteral("設定を保存できません。")));
    QCOMPARE(f.desktop.boxes[0].icon, Icon::Critical);
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
        if (box.text.startsWith(QStringLiteral("設定を保存できません。"))) {
            QVERIFY(writeFile(path, "precious"));
        }
    };
    QVERIFY(finishStart(window));
    QCOMPARE(readFile(path), QByteArray("precious"));
    QCOMPARE(f.desktop.boxes.size(), 2);
    QCOMPARE(f.desktop.boxes[1].text.section(u'\n', 0, 1), path + QStringLiteral("\nファイルを作成できません。"));
    QCOMPARE(f.desktop.beeps, 1);
    QCOMPARE(buttonStates(window), QStringLiteral("11101"));
}

void tst_RunControl::stopButtonEndsTheRun()
{
    FIXTURE(f);
    pathEdit(f.window)->setText(f.path(QStringLiteral("fill.dat")));
    QSignalSpy finished(&f.window, &MainWindow::fillFinished);
    {
        const fill::Pause::Hold held(f.desktop.modalPause());
        f.window.startFill();
        QVERIFY(f.runHeld());
        stopButton(f.window)->click();
        QCOMPARE(buttonStates(f.window), QStringLiteral("00000")); // acknowledged; the file still open
    }
    QVERIFY(finished.wait());
    QCOMPARE(f.desktop.beeps, 1);
    QCOMPARE(buttonStates(f.window), QStringLiteral("11101"));
    QCOMPARE(checkFillFile(f.path(QStringLiteral("fill.dat")), KiB), QString()); // no block after Stop
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
    QVERIFY(f.desktop.dialogFolders.isEmpty());
    QVERIFY(finishStart(f.window));
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
    f.desktop.answers = { false };
    QVERIFY(finishDelete(f.window));
    QCOMPARE(f.desktop.boxes.size(), 1);
    QCOMPARE(f.desktop.boxes[0].text, path + QStringLiteral("を本当に削除していいですか。"));
    QCOMPARE(f.desktop.boxes[0].icon, Icon::Warning);
    QVERIFY(f.desktop.boxes[0].question);
    QCOMPARE(fileSize(path), qint64(4));
}

void tst_RunControl::deleteOfAMissingFileIsSilent()
{
    FIXTURE(f);
    QVERIFY(QDir(f.volume.path()).mkdir(QStringLiteral("folder")));
    for (const QString& name : { QStringLiteral("missing.dat"), QStringLiteral("folder") }) {
        f.desktop.boxes.clear();
        pathEdit(f.window)->setText(f.path(name));
        f.desktop.answers = { true };
        QVERIFY(finishDelete(f.window));
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
    f.desktop.answers = { true };
    QVERIFY(finishDelete(f.window));
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
    f.desktop.answers = { true };
    QVERIFY(finishDelete(f.window));
    QCOMPARE(f.desktop.boxes.size(), 2);
    QCOMPARE(f.desktop.boxes[1].icon, Icon::Critical);
    const QString head = path + QStringLiteral("\nファイルを削除できません。\n");
    QVERIFY(f.desktop.boxes[1].text.startsWith(head));
    QVERIFY(f.desktop.boxes[1].text.size() > head.size());
    QCOMPARE(fileSize(path), qint64(6));
}

void tst_RunControl::browseCancelledKeepsTheTypedPath()
{
    FIXTURE(f);
    const QString typed = f.path(QStringLiteral("sub/typed.dat"));
    pathEdit(f.window)->setText(typed);
    f.desktop.dialogAnswers = { std::nullopt };
    QTest::mouseClick(browseButton(f.window), Qt::LeftButton);
    QVERIFY(settled(f.window));
    QCOMPARE(pathEdit(f.window)->text(), typed);
    QCOMPARE(f.desktop.dialogFolders, QStringList { f.path(QStringLiteral("sub")) });
    QCOMPARE(f.desktop.dialogLastPicks, QStringList { QString() });
    QCOMPARE(f.desktop.dialogFolderMustExist, QList<bool> { true });
}

void tst_RunControl::browsePickedSetsThePath()
{
    FIXTURE(f);
    const QString picked = f.path(QStringLiteral("picked.dat"));
    f.desktop.dialogAnswers = { picked, std::nullopt };
    changeOutputAction(f.window)->trigger(); // the File menu's item does what Browse does
    QVERIFY(settled(f.window));
    QCOMPARE(pathEdit(f.window)->text(), picked);
    // The next dialog opens in the picked file's folder, with the file named.
    f.window.browse();
    QVERIFY(settled(f.window));
    QCOMPARE(f.desktop.dialogFolders.value(1), f.volume.path());
    QCOMPARE(f.desktop.dialogLastPicks.value(1), picked);
    QCOMPARE(pathEdit(f.window)->text(), picked);
    // An empty path opens the dialog at the root.
    pathEdit(f.window)->clear();
    f.desktop.dialogAnswers = { std::nullopt };
    f.window.browse();
    QVERIFY(settled(f.window));
    QCOMPARE(f.desktop.dialogFolders.value(2), QStringLiteral("/"));
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
    const auto picked
        = desktop.chooseFile(volume.filePath(folder), lastPick.isEmpty() ? QString() : volume.filePath(lastPick), true);
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
    const auto picked = desktop.chooseFile(volume.path(), QString(), true);
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
    QSignalSpy closed(&f.window, &MainWindow::closed);
    {
        const fill::Pause::Hold held(f.desktop.modalPause());
        f.window.startFill();
        QVERIFY(f.runHeld());
        if (menu) {
            exitAction(f.window)->trigger();
        } else {
            f.window.close();
        }
        sizeEdit(f.window)->setText(QStringLiteral("changed after close"));
        QVERIFY(!f.window.isVisible());
    }
    QVERIFY(closed.wait());
    QCOMPARE(closed[0][0].toInt(), 0);
    QCOMPARE(f.desktop.beeps, 1);
    QCOMPARE(checkFillFile(path, KiB), QString());
    QCOMPARE(storedSetting(f.settings.ini, QStringLiteral("SIZE")), QStringLiteral("50"));
    QCOMPARE(storedSetting(f.settings.ini, QStringLiteral("SIZESCALE")), QStringLiteral("1"));
}

// A slow or failing device (a USB stick, a network share, a virtual disk) stalls writes and flushes
// for seconds: the window answers meanwhile, Stop and the close box act at once, and a failure at
// the close is reported, also when the window has gone.
void tst_RunControl::throughAStallingDisk_data()
{
    QTest::addColumn<QByteArray>("commands");
    QTest::addColumn<QString>("action"); // what the user does while the disk stalls
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("complete"); // the file reaches its 16 MiB

    const QString failed = QStringLiteral("\n書き込みが途中で終了しました。\nInput/output error");
    QTest::newRow("write stalls 2 s, flush 3 s")
        << QByteArray("write_stall_ms=2000 write_stall_every=8 write_stall_limit=1 fsync_stall_ms=3000") << "none"
        << "" << true;
    QTest::newRow("Stop during a stalled write")
        << QByteArray("write_stall_ms=2000 write_stall_every=8 write_stall_limit=1") << "stop"
        << "" << false;
    QTest::newRow("closed during a stalled flush") << QByteArray("flush_stall_ms=3000") << "close"
                                                   << "" << true;
    QTest::newRow("EIO at the close") << QByteArray("flush_errno=EIO") << "none" << failed << true;
    QTest::newRow("closed, then EIO at the close")
        << QByteArray("flush_stall_ms=1500 flush_errno=EIO") << "close" << failed << true;
    // The data of a run goes to the device as it goes: a failure there ends the run early. One write
    // halfway waits, so a busy machine cannot finish the run before the flush that fails.
    QTest::newRow("EIO from a flush during the run")
        << QByteArray("fsync_errno=EIO write_stall_ms=1000 write_stall_every=10 write_stall_limit=1") << "none"
        << failed << false;
}

void tst_RunControl::throughAStallingDisk()
{
    QFETCH(QByteArray, commands);
    QFETCH(QString, action);
    QFETCH(QString, message);
    QFETCH(bool, complete);
    STALLFS(volume, 64 * MiB);
    QVERIFY(volume.command(commands));
    WindowFixture f;
    MainWindow& window = f.window;
    window.show();
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    pathEdit(window)->setText(path);
    sizeEdit(window)->setText(QStringLiteral("16"));
    mbButton(window)->setChecked(true);

    QElapsedTimer clock;
    qint64 lastBeat = 0;
    qint64 longestGap = 0;
    qint64 sizeAtStop = -1;
    bool acted = false;
    QTimer heart;
    heart.setInterval(20);
    connect(&heart, &QTimer::timeout, [&] {
        longestGap = std::max(longestGap, clock.elapsed() - lastBeat);
        lastBeat = clock.elapsed();
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
            QCOMPARE(storedSetting(f.settings.ini, QStringLiteral("SIZE")), QStringLiteral("16"));
        }
        QVERIFY(volume.counter(QStringLiteral("stalling")) > 0);
    });
    bool shownWhileVisible = false;
    f.desktop.onBox = [&](const FakeDesktop::Box&) { shownWhileVisible = window.isVisible(); };
    QSignalSpy closed(&window, &MainWindow::closed);
    clock.start();
    heart.start();
    QVERIFY(finish(window, &MainWindow::fillFinished, [&window] { window.startFill(); }));
    heart.stop();
    longestGap = std::max(longestGap, clock.elapsed() - lastBeat);

    // Far below the stalls: the window never waited for the disk.
    QVERIFY2(longestGap < 1000, qPrintable(QStringLiteral("%1 ms without an event").arg(longestGap)));
    QCOMPARE(acted, action != QLatin1String("none"));
    QCOMPARE(f.desktop.beeps, 1);
    QCOMPARE(buttonStates(window), QStringLiteral("11101"));
    const qint64 size = fileSize(path);
    QCOMPARE(checkFillFile(path, size), QString());
    if (action == QLatin1String("stop")) {
        QVERIFY2(size - sizeAtStop <= MiB, qPrintable(QStringLiteral("%1 -> %2").arg(sizeAtStop).arg(size)));
    }
    QCOMPARE(size == 16 * MiB, complete);
    if (message.isEmpty()) {
        QVERIFY(f.desktop.boxes.isEmpty());
    } else {
        QCOMPARE(f.desktop.boxes.size(), 1);
        QCOMPARE(f.desktop.boxes[0].text, path + message);
        QCOMPARE(shownWhileVisible, action != QLatin1String("close"));
    }
    // Closed during the run: the program ends once the file is closed, failing when the close did.
    QCOMPARE(closed.size(), action == QLatin1String("close") ? 1 : 0);
    if (!closed.isEmpty()) {
        QCOMPARE(closed[0][0].toInt(), message.isEmpty() ? 0 : 1);
    }
}

// A volume that stops answering every call, as a dead network share or a wedged stick does: the
// window goes on answering, shows the free space of another path asked for meanwhile, and a Start
// there can be called off before anything is made.
void tst_RunControl::volumeThatStopsAnswering()
{
    STALLFS(volume, 16 * MiB);
    FIXTURE(f);
    const QString dead = volume.filePath(QStringLiteral("fill.dat"));
    pathEdit(f.window)->setText(dead);
    kbButton(f.window)->click();
    QVERIFY(settled(f.window));
    const QString shown = freeSpaceLabel(f.window)->text();

    volume.stopAnswering();
    f.desktop.dialogAnswers = { std::nullopt };
    browseButton(f.window)->click(); // the dialog waits for its folder, not the window
    mbButton(f.window)->click();
    pathEdit(f.window)->setText(volume.filePath(QStringLiteral("other.dat")));
    QCOMPARE(freeSpaceLabel(f.window)->text(), shown); // the last value, until an answer comes
    QVERIFY(finish(f.window, &MainWindow::fillFinished, [&f] {
        startButton(f.window)->click();
        QCOMPARE(buttonStates(f.window), QStringLiteral("00010"));
        stopButton(f.window)->click();
    }));
    QCOMPARE(buttonStates(f.window), QStringLiteral("11101"));
    // A name typed there slowly: the queries about its folder wait for the one out, not a thread each.
    for (int key = 0; key < 17; ++key) {
        pathEdit(f.window)->insert(QStringLiteral("x"));
        QTest::qWait(210);
    }
    QVERIFY(f.window.volumeCallsOut() < 8);
    QVERIFY(QFile::link(dead, f.path(QStringLiteral("link"))));
    pathEdit(f.window)->setText(f.path(QStringLiteral("link"))); // a link to there, in a folder that answers
    QTest::qWait(210);
    pathEdit(f.window)->setText(f.path(QStringLiteral("fill.dat")));
    const QString live = fill::numberText(static_cast<double>(availableAt(f.volume.path())) / MiB);
    QTRY_COMPARE(freeSpaceLabel(f.window)->text(), live);
    QVERIFY2(volume.answerAgain(), "the window waited for the volume");

    // What the volume says at last is of paths no longer in the box; the Start called off made nothing.
    QVERIFY(settled(f.window));
    QCOMPARE(freeSpaceLabel(f.window)->text(), live);
    QCOMPARE(f.desktop.dialogFolders, QStringList { volume.path() });
    QVERIFY(!QFile::exists(dead));
    QVERIFY(f.desktop.boxes.isEmpty());
    QCOMPARE(f.desktop.beeps, 1);
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
    QSignalSpy finished(&f.window, &MainWindow::fillFinished);
    {
        const fill::Pause::Hold held(f.desktop.modalPause());
        startButton(f.window)->click();
        QVERIFY(f.runHeld());
        focusInRun = QApplication::focusWidget();
        QTest::keyClick(focusInRun, Qt::Key_Space);
    }
    QVERIFY(finished.wait());
    QCOMPARE(focusInRun, stopButton(f.window));
    QCOMPARE(pathEdit(f.window)->text(), path);
    QCOMPARE(checkFillFile(path, KiB), QString()); // stopped, not filled
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
    QSignalSpy finished(&f.window, &MainWindow::fillFinished);
    {
        const fill::Pause::Hold held(f.desktop.modalPause());
        deleteButton(f.window)->animateClick();
        startButton(f.window)->click();
        QVERIFY(deletePressed.wait(5000));
    }
    QVERIFY(!finished.isEmpty() || finished.wait());
    QVERIFY(f.desktop.boxes.isEmpty());
    QCOMPARE(checkFillFile(path, 4 * MiB), QString());
    QCOMPARE(f.desktop.beeps, 1);

    // Alt+D, then Start on the existing file: the delete lands while the overwrite question is open.
    f.desktop.answers = { false };
    f.desktop.onBox = [&f](const FakeDesktop::Box&) {
        QSignalSpy pressed(deleteButton(f.window), &QPushButton::clicked);
        deleteButton(f.window)->animateClick();
        QVERIFY(pressed.wait(5000));
    };
    QVERIFY(finishStart(f.window));
    QCOMPARE(f.desktop.boxes.size(), 1);
    QCOMPARE(f.desktop.boxes[0].text, overwriteQuestion);
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
    QCOMPARE(buttonStates(f.window), QStringLiteral("11101"));
    QCOMPARE(f.desktop.beeps, 1);
    QVERIFY(!QFile::exists(path));
}

QTEST_MAIN(tst_RunControl)
#include "tst_runcontrol.moc"
