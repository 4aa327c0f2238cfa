#include "ui/fontwarmup.h"
#include "ui/mainwindow.h"
#include "ui/mainwindowlayout.h"

#include "fakeoutputfile.h"
#include "fillfile.h"
#include "sizes.h"
#include "tmpfs.h"
#include "windowfixture.h"
#include "windowparts.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

namespace {

using Icon = platform::Desktop::Icon;

int px(int twips, int dpi)
{
    return static_cast<int>(std::lround(twips * dpi / 1440.0));
}

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    // Layout.
    void controls_data();
    void controls();
    void frameAndMenus();
    void tabOrderAndFocus();
    void enterPressesOnlyTheFocusedButton_data();
    void enterPressesOnlyTheFocusedButton();
    void fontWarmup();

    // Settings.
    void firstStartOnAnEmptyStore();
    void closeWritesTheThreeKeys();
    void settingsSurviveARestart_data();
    void settingsSurviveARestart();
    void unknownUnitFallsBackToKB_data();
    void unknownUnitFallsBackToKB();
    void settingsThatCannotBeWritten();

    // The writer, driven through the window.
    void fileLengthForSizeText_data();
    void fileLengthForSizeText();
    void emptyPathOnlyAsks();
    void sizeTooLarge();
    void fileThatCannotBeCreated();
    void diskFullIsSilent();
    void otherWriteErrorIsReported();
    void stopEndsTheRunAndTheNextOneGoesOn();
    void closingDuringARun();
    void destroyedDuringARun();

    // The Help menu.
    void usageText();
    void helpMenu();
    void aboutDuringARunPausesIt();

    // The same file as tallowmere-fill writes.
    void sameFileAsTheCommandLine();
};

void tst_MainWindow::controls_data()
{
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("enabled");
    const QMap<QString, QString> captions {
        { "pathCaption", QStringLiteral("出力ﾌｧｲﾙ") }, { "browseButton", QStringLiteral("参照...") },
        { "sizeCaption", QStringLiteral("ｻｲｽﾞ") },     { "kbButton", QStringLiteral("KB") },
        { "mbButton", QStringLiteral("MB") },          { "freeSpaceCaption", QStringLiteral("FreeSpace") },
        { "startButton", QStringLiteral("開始(&S)") }, { "exitButton", QStringLiteral("終了(&E)") },
        { "stopButton", QStringLiteral("中止(&P)") },  { "deleteButton", QStringLiteral("削除(&D)") },
    };
    for (const mainwindowlayout::Place& place : mainwindowlayout::controls) {
        const QString name = QString::fromLatin1(place.name.data(), qsizetype(place.name.size()));
        QTest::newRow(qPrintable(name)) << captions.value(name) << (name != QLatin1String("stopButton"));
    }
}

void tst_MainWindow::controls()
{
    QFETCH(QString, caption);
    QFETCH(bool, enabled);
    WindowFixture f;
    MainWindow& window = f.window;

    const QString name = QString::fromLatin1(QTest::currentDataTag());
    const auto place = std::find_if(mainwindowlayout::controls.begin(), mainwindowlayout::controls.end(),
                                    [&name](const auto& p) { return p.name == name.toStdString(); });
    QWidget* widget = part(window, name);
    const int dpiX = widget->logicalDpiX();
    const int dpiY = widget->logicalDpiY();
    const QRect expected(px(place->left, dpiX), px(place->top, dpiY), px(place->width, dpiX), px(place->height, dpiY));
    // The free-space value sizes itself to its text, from its fixed left edge.
    if (name == QLatin1String("freeSpaceLabel")) {
        QCOMPARE(widget->pos(), expected.topLeft());
    } else {
        QCOMPARE(widget->property("text").toString(), caption);
        QCOMPARE(widget->geometry(), expected);
    }
    QCOMPARE(widget->isEnabled(), enabled);
    QCOMPARE(widget->parentWidget(), window.centralWidget());
}

void tst_MainWindow::frameAndMenus()
{
    WindowFixture f;
    MainWindow& window = f.window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QCOMPARE(window.windowTitle(), QStringLiteral("Tallowmere"));
    const int dpi = window.logicalDpiX();
    QCOMPARE(window.centralWidget()->size(), QSize(px(6615, dpi), px(1950, window.logicalDpiY())));
    QVERIFY(!(window.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(window.windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(window.windowFlags() & Qt::WindowCloseButtonHint);
    QCOMPARE(window.minimumSize(), window.maximumSize());
    QVERIFY(!window.windowIcon().isNull());
    QVERIFY(window.windowIcon().availableSizes().contains(QSize(32, 32)));

    QCOMPARE(fileMenu(window)->title(), QStringLiteral("File(&F)"));
    QCOMPARE(changeOutputAction(window)->text(), QStringLiteral("出力ﾌｧｲﾙ変更(&O)..."));
    QCOMPARE(exitAction(window)->text(), QStringLiteral("終了(&E)"));
    QCOMPARE(::helpMenu(window)->title(), QStringLiteral("ﾍﾙﾌﾟ(&H)"));
    QCOMPARE(usageAction(window)->text(), QStringLiteral("ﾍﾙﾌﾟ(&H)"));
    QCOMPARE(aboutAction(window)->text(), QStringLiteral("Tallowmereについて(&A)..."));
    for (QAction* action :
         { changeOutputAction(window), exitAction(window), usageAction(window), aboutAction(window) }) {
        QVERIFY(action->shortcut().isEmpty());
        QVERIFY(action->isEnabled());
    }
    f.desktop.dialogAnswers = { std::nullopt };
    window.browse();
    QVERIFY(settled(window));
    QCOMPARE(f.desktop.dialogFolderMustExist, QList<bool> { true });
}

void tst_MainWindow::fontWarmup()
{
    // Dropped without waiting, as when the toolkit fails to start: it must join, not terminate.
    {
        platform::FontWarmup dropped;
    }
    platform::FontWarmup fonts;
    fonts.wait();
    fonts.wait();
    // The configuration read ahead is the one the windows find their Japanese font through.
    QVERIFY(QFontDatabase::families().contains(QStringLiteral("Noto Sans CJK JP")));
}

void tst_MainWindow::tabOrderAndFocus()
{
    WindowFixture f;
    MainWindow& window = f.window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QCOMPARE(QApplication::focusWidget(), browseButton(window));

    const QList<QWidget*> expected { browseButton(window), startButton(window), stopButton(window),
                                     exitButton(window),   pathEdit(window),    deleteButton(window),
                                     sizeEdit(window),     kbButton(window),    mbButton(window) };
    QList<QWidget*> chain;
    QWidget* widget = browseButton(window);
    do {
        if (expected.contains(widget)) {
            chain.append(widget);
        }
        widget = widget->nextInFocusChain();
    } while (widget != browseButton(window));
    QCOMPARE(chain, expected);
    for (QLabel* label : window.findChildren<QLabel*>()) {
        QCOMPARE(label->focusPolicy(), Qt::NoFocus);
    }
}

// No button is the window's default or cancel button; the one with the focus takes Enter.
void tst_MainWindow::enterPressesOnlyTheFocusedButton_data()
{
    QTest::addColumn<QString>("focus"); // a button index, or "size box"
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("dialogs");
    QTest::newRow("Enter on Browse") << "0" << int(Qt::Key_Return) << 1;
    QTest::newRow("keypad Enter on Browse") << "0" << int(Qt::Key_Enter) << 1;
    QTest::newRow("Esc on Browse") << "0" << int(Qt::Key_Escape) << 0;
    QTest::newRow("Enter in the size box") << "size box" << int(Qt::Key_Return) << 0;
    QTest::newRow("Esc in the size box") << "size box" << int(Qt::Key_Escape) << 0;
}

void tst_MainWindow::enterPressesOnlyTheFocusedButton()
{
    QFETCH(QString, focus);
    QFETCH(int, key);
    QFETCH(int, dialogs);
    WindowFixture f;
    f.desktop.dialogAnswers = { std::nullopt };
    MainWindow& window = f.window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QWidget* target
        = focus == QLatin1String("size box") ? static_cast<QWidget*>(sizeEdit(window)) : browseButton(window);
    target->setFocus(Qt::TabFocusReason);
    QTest::keyClick(target, static_cast<Qt::Key>(key));
    QVERIFY(settled(window));
    QCOMPARE(f.desktop.dialogFolders.size(), dialogs);
    QVERIFY(window.isVisible());
    QVERIFY(f.desktop.boxes.isEmpty());
    for (QPushButton* button : buttons(window)) {
        QVERIFY(button == target || !button->isDefault());
    }
}

void tst_MainWindow::firstStartOnAnEmptyStore()
{
    WindowFixture f;
    QCOMPARE(pathEdit(f.window)->text(), QString());
    QCOMPARE(sizeEdit(f.window)->text(), QString());
    QVERIFY(kbButton(f.window)->isChecked());
    QVERIFY(!mbButton(f.window)->isChecked());
    QVERIFY(f.desktop.boxes.isEmpty());
    QVERIFY(!QFile::exists(f.settings.ini)); // nothing is written before the first Start or close
}

void tst_MainWindow::closeWritesTheThreeKeys()
{
    WindowFixture f;
    QSignalSpy closed(&f.window, &MainWindow::closed);
    f.window.show();
    QVERIFY(f.window.close());
    QCOMPARE(closed.size(), 1); // nothing runs: the program may end at once, with 0
    QCOMPARE(closed[0][0].toInt(), 0);
    QCOMPARE(storedSetting(f.settings.ini, QStringLiteral("OUTFILE")), QString());
    QCOMPARE(storedSetting(f.settings.ini, QStringLiteral("SIZE")), QString());
    QCOMPARE(storedSetting(f.settings.ini, QStringLiteral("SIZESCALE")), QStringLiteral("0"));
    QVERIFY(f.desktop.boxes.isEmpty());
}

void tst_MainWindow::settingsSurviveARestart_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("size");
    QTest::addColumn<bool>("megabytes");

    QTest::newRow("plain, MB") << "/data/fill.dat"
                               << "3" << true;
    QTest::newRow("not a number, KB") << "fill.dat"
                                      << "abc" << false;
    QTest::newRow("comma and blanks") << " a b "
                                      << "1,000" << true;
    QTest::newRow("INI specials") << "x=y;z#w[s]"
                                  << "@Invalid()" << false;
    QTest::newRow("quotes and backslashes") << "C:\\work\\\"q\".dat"
                                            << "\"1\"" << true;
    QTest::newRow("Japanese") << QStringLiteral("/ﾃｽﾄ/試験.dat") << QStringLiteral("１２") << false;
    QTest::newRow("long path") << QString(5000, u'p') << QString(300, u'9') << true;
}

void tst_MainWindow::settingsSurviveARestart()
{
    QFETCH(QString, path);
    QFETCH(QString, size);
    QFETCH(bool, megabytes);
    WindowFixture f;
    pathEdit(f.window)->setText(path);
    sizeEdit(f.window)->setText(size);
    (megabytes ? mbButton(f.window) : kbButton(f.window))->setChecked(true);
    f.window.show();
    QVERIFY(f.window.close());
    QCOMPARE(storedSetting(f.settings.ini, QStringLiteral("SIZESCALE")),
             megabytes ? QStringLiteral("1") : QStringLiteral("0"));
    platform::SettingsStore store(f.settings.ini);
    MainWindow window(f.desktop, store);
    QCOMPARE(pathEdit(window)->text(), path);
    QCOMPARE(sizeEdit(window)->text(), size);
    QCOMPARE(mbButton(window)->isChecked(), megabytes);
    QCOMPARE(kbButton(window)->isChecked(), !megabytes);
    QVERIFY(!stopButton(window)->isEnabled());
    QVERIFY(f.desktop.boxes.isEmpty());
}

void tst_MainWindow::unknownUnitFallsBackToKB_data()
{
    QTest::addColumn<QString>("value");
    QTest::newRow("2") << "2";
    QTest::newRow("-1") << "-1";
    QTest::newRow("text") << "MB";
    QTest::newRow("empty") << "";
    QTest::newRow("70000") << "70000";
}

void tst_MainWindow::unknownUnitFallsBackToKB()
{
    QFETCH(QString, value);
    QTemporaryDir settingsFolder; // for the settings file alone
    const QString ini = settingsFolder.filePath(QStringLiteral("settings.ini"));
    {
        QSettings settings(ini, QSettings::IniFormat);
        settings.setValue(QStringLiteral("Tallowmere/SIZESCALE"), value);
    }
    FakeDesktop desktop;
    platform::SettingsStore store(ini);
    MainWindow window(desktop, store);
    QVERIFY(kbButton(window)->isChecked());
    QVERIFY(!mbButton(window)->isChecked());
}

void tst_MainWindow::settingsThatCannotBeWritten()
{
    TMPFS(volume, MiB);
    QFile blocker(volume.filePath(QStringLiteral("not-a-folder")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    // The settings file would live inside a regular file: no one, root included, can write it.
    const QString ini = volume.filePath(QStringLiteral("not-a-folder/settings.ini"));
    FakeDesktop desktop;
    platform::SettingsStore store(ini);
    MainWindow window(desktop, store);
    window.show();
    QVERIFY(window.close()); // the window still closes
    QCOMPARE(desktop.boxes.size(), 1);
    QCOMPARE(desktop.boxes[0].icon, Icon::Critical);
    QVERIFY(desktop.boxes[0].text.startsWith(QStringLiteral("設定を保存できません。\n")));
    QVERIFY(desktop.boxes[0].text.size() > QStringLiteral("設定を保存できません。\n").size());
}

void tst_MainWindow::fileLengthForSizeText_data()
{
    QTest::addColumn<QString>("size");
    QTest::addColumn<bool>("megabytes");
    QTest::addColumn<qint64>("length"); // -1: the volume is filled

    QTest::newRow("1 KB") << "1" << false << KiB;
    QTest::newRow("0.5 KB") << "0.5" << false << KiB;
    QTest::newRow("1.5 KB") << "1.5" << false << 2 * KiB;
    QTest::newRow("2 KB") << "2" << false << 2 * KiB;
    QTest::newRow("3 MB") << "3" << true << 3 * MiB;
    QTest::newRow("-3 KB") << "-3" << false << KiB;
    QTest::newRow("0.00049 KB") << "0.00049" << false << KiB;
    QTest::newRow("12KB") << "12KB" << false << 12 * KiB;
    QTest::newRow("1,000 KB") << "1,000" << false << KiB;
    QTest::newRow("1 2 KB") << "1 2" << false << 12 * KiB;
    QTest::newRow("1e3 KB") << "1e3" << false << 1000 * KiB;
    QTest::newRow("&H10 KB") << "&H10" << false << 16 * KiB;
    QTest::newRow("&O17 MB") << "&O17" << true << 15 * MiB;
    QTest::newRow("empty fills the disk") << "" << false << qint64(-1);
    QTest::newRow("0 fills the disk") << "0" << false << qint64(-1);
    QTest::newRow("letters fill the disk") << "abc" << false << qint64(-1);
    QTest::newRow("rounding to 0 fills the disk") << "0.0004" << false << qint64(-1);
    QTest::newRow("more than the disk fills it") << "999999" << false << qint64(-1);
}

void tst_MainWindow::fileLengthForSizeText()
{
    QFETCH(QString, size);
    QFETCH(bool, megabytes);
    QFETCH(qint64, length);
    TMPFS(volume, 20 * MiB);
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    WindowFixture f;
    pathEdit(f.window)->setText(path);
    sizeEdit(f.window)->setText(size);
    (megabytes ? mbButton(f.window) : kbButton(f.window))->setChecked(true);
    QVERIFY(finishRun(f.window));
    QVERIFY(f.desktop.boxes.isEmpty());
    if (length < 0) {
        QVERIFY2(volume.available() < KiB, qPrintable(QString::number(volume.available())));
        length = fileSize(path);
        QVERIFY(length > 16 * MiB);
    }
    const QString problem = checkFillFile(path, length);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void tst_MainWindow::emptyPathOnlyAsks()
{
    TMPFS(volume, MiB);
    WindowFixture f;
    sizeEdit(f.window)->setText(QStringLiteral("5"));
    QVERIFY(finishRun(f.window));
    QCOMPARE(f.desktop.boxes.size(), 1);
    QCOMPARE(f.desktop.boxes[0].text, QStringLiteral("作成するファイルを入力してください"));
    QCOMPARE(f.desktop.boxes[0].icon, Icon::Critical);
    QVERIFY(!f.desktop.boxes[0].question);
    QVERIFY(QDir(volume.path()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System));
}

void tst_MainWindow::sizeTooLarge()
{
    TMPFS(volume, MiB);
    const QString path = volume.filePath(QStringLiteral("keep.dat"));
    QFile existing(path);
    QVERIFY(existing.open(QIODevice::WriteOnly));
    existing.write("old data");
    existing.close();
    WindowFixture f;
    for (const QString& size : { QStringLiteral("1e400"), QStringLiteral("8796093022208"), QString(10000, u'9') }) {
        f.desktop.boxes.clear();
        pathEdit(f.window)->setText(path);
        sizeEdit(f.window)->setText(size);
        mbButton(f.window)->setChecked(true);
        QVERIFY(finishRun(f.window));
        QCOMPARE(f.desktop.boxes.size(), 1);
        QCOMPARE(f.desktop.boxes[0].text, QStringLiteral("サイズが大きすぎます。\n") + size);
        QCOMPARE(f.desktop.boxes[0].icon, Icon::Critical);
        QCOMPARE(fileSize(path), qint64(8)); // not touched
    }
}

void tst_MainWindow::fileThatCannotBeCreated()
{
    TMPFS(volume, MiB);
    QVERIFY(QDir(volume.path()).mkdir(QStringLiteral("folder")));
    WindowFixture f;
    for (const QString& name : { QStringLiteral("missing/fill.dat"), QStringLiteral("folder") }) {
        f.desktop.boxes.clear();
        const QString path = volume.filePath(name);
        pathEdit(f.window)->setText(path);
        QVERIFY(finishRun(f.window));
        QCOMPARE(f.desktop.boxes.size(), 1);
        QCOMPARE(f.desktop.boxes[0].icon, Icon::Critical);
        const QString text = f.desktop.boxes[0].text;
        const QString head = path + QStringLiteral("\nファイルを作成できません。\n");
        QVERIFY2(text.startsWith(head) && text.size() > head.size(), qPrintable(text));
    }
    QVERIFY(!QFile::exists(volume.filePath(QStringLiteral("missing"))));
}

void tst_MainWindow::diskFullIsSilent()
{
    WindowFixture f;
    FakeOutputFile file;
    file.capacity = 5 * MiB + 123;
    f.window.setOutputFileFactory([&file] { return std::make_unique<BorrowedOutputFile>(file); });
    pathEdit(f.window)->setText(QStringLiteral("fill.dat"));
    sizeEdit(f.window)->setText(QStringLiteral("100"));
    mbButton(f.window)->setChecked(true);
    QVERIFY(finishRun(f.window));
    QVERIFY(f.desktop.boxes.isEmpty());
    QCOMPARE(file.creates, 1);
    QCOMPARE(file.size, 5 * MiB);
    QVERIFY(!file.open);
}

void tst_MainWindow::otherWriteErrorIsReported()
{
    WindowFixture f;
    f.window.setOutputFileFactory([] {
        auto file = std::make_unique<FakeOutputFile>();
        file->capacity = 2 * MiB;
        file->fullError = { EIO, std::system_category() };
        return file;
    });
    pathEdit(f.window)->setText(QStringLiteral("/media/stick/fill.dat"));
    QVERIFY(finishRun(f.window));
    QCOMPARE(f.desktop.boxes.size(), 1);
    QCOMPARE(f.desktop.boxes[0].icon, Icon::Critical);
    QCOMPARE(f.desktop.boxes[0].text,
             QStringLiteral("/media/stick/fill.dat\n書き込みが途中で終了しました。\n")
                 + platform::errorText({ EIO, std::system_category() }));
}

void tst_MainWindow::stopEndsTheRunAndTheNextOneGoesOn()
{
    TMPFS(volume, 64 * MiB);
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    WindowFixture f;
    pathEdit(f.window)->setText(path);
    QSignalSpy finished(&f.window, &MainWindow::fillFinished);
    {
        // Held before its first fill block, then stopped: nothing more is written.
        const fill::Pause::Hold held(f.desktop.modalPause());
        f.window.runFill(); // fill the disk
        QVERIFY(QTest::qWaitFor([&f] { return f.desktop.modalPause().waiting() == 1; }));
        f.window.stopFill();
    }
    QVERIFY(finished.wait());
    QCOMPARE(checkFillFile(path, KiB), QString());

    // The next run has a stop request of its own: it runs to its target.
    sizeEdit(f.window)->setText(QStringLiteral("5"));
    mbButton(f.window)->setChecked(true);
    QVERIFY(finishRun(f.window));
    QCOMPARE(fileSize(path), 5 * MiB);
}

void tst_MainWindow::closingDuringARun()
{
    TMPFS(volume, 64 * MiB);
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    WindowFixture f;
    f.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f.window));
    pathEdit(f.window)->setText(path);
    sizeEdit(f.window)->setText(QStringLiteral("40"));
    mbButton(f.window)->setChecked(true);
    QSignalSpy closed(&f.window, &MainWindow::closed);
    {
        const fill::Pause::Hold held(f.desktop.modalPause());
        f.window.runFill();
        QVERIFY(QTest::qWaitFor([&f] { return f.desktop.modalPause().waiting() == 1; }));
        QVERIFY(f.window.close());
        QVERIFY(!f.window.isVisible());
        QVERIFY(closed.isEmpty()); // not while the file is open
    }
    QVERIFY(closed.wait());
    QCOMPARE(closed[0][0].toInt(), 0);
    QCOMPARE(checkFillFile(path, KiB), QString());
    QCOMPARE(storedSetting(f.settings.ini, QStringLiteral("OUTFILE")), path);
    QCOMPARE(storedSetting(f.settings.ini, QStringLiteral("SIZE")), QStringLiteral("40"));
    QCOMPARE(storedSetting(f.settings.ini, QStringLiteral("SIZESCALE")), QStringLiteral("1"));
}

// A window that goes while its run waits for a modal window (the session ends, say) stops the run and
// waits for the file to close.
void tst_MainWindow::destroyedDuringARun()
{
    TMPFS(volume, 16 * MiB);
    FakeDesktop desktop;
    TemporarySettings settings;
    const fill::Pause::Hold held(desktop.modalPause());
    {
        MainWindow window(desktop, settings.store);
        pathEdit(window)->setText(volume.filePath(QStringLiteral("fill.dat")));
        window.runFill();
        QVERIFY(QTest::qWaitFor([&desktop] { return desktop.modalPause().waiting() == 1; }));
    }
    QCOMPARE(checkFillFile(volume.filePath(QStringLiteral("fill.dat")), KiB), QString());
}

// --- the Help menu ------------------------------------------------------------------------------

void tst_MainWindow::usageText()
{
    const QString text = MainWindow::usageText();
    const QStringList lines = text.split(u'\n');
    QCOMPARE(lines.size(), 7);
    QVERIFY(!text.endsWith(u'\n'));
    QCOMPARE(lines[2], QStringLiteral("合に便利です｡ ")); // half-width full stop and one blank
    for (const int i : { 0, 1, 3, 5 }) {
        QCOMPARE(lines[i].size(), 30);
    }
    QCOMPARE(
        text.toUtf8().toHex(),
        QByteArray(
            "e68c87e5ae9ae38389e383a9e382a4e38396e381abe68c87e5ae9ae382b5e382a4e382bae381aee38395e382a1e382a4e383abe3"
            "8292e4bd9ce68890e38199e3828be38397e383ade382b0e383a9e383a0e381a7e38199e380820ae38387e382a3e382b9e382afe3"
            "82b9e3839ae383bce382b9e3818ce8b6b3e3828ae381aae38184e5a0b4e59088e381aee38397e383ade382b0e383a9e383a0e381"
            "aee58b95e4bd9ce38292e6a49ce69fbbe38199e3828be5a0b40ae59088e381abe4bebfe588a9e381a7e38199efbda1200ae382b5"
            "e382a4e382bae38292e585a5e58a9be38197e381aae38184e3818be38081e381bee3819fe381afefbc90e3818be38081e381bee3"
            "819fe381afe38387e382a3e382b9e382afe4bba5e4b88ae381aee5a0b4e59088e381af0ae38387e382a3e382b9e382afe382b9e3"
            "839ae383bce382b9e38184e381a3e381b1e38184e381aee38395e382a1e382a4e383abe38292e4bd9ce68890e38197e381bee381"
            "99e380820ae3819fe381a0e38197e38081efbc91efbc90efbc92efbc94e38390e382a4e38388e58d98e4bd8de381a7e3819de382"
            "8ce4bba5e4b88be382b5e382a4e382bae381aee38395e382a1e382a4e383abe381afe4bd9ce68890e381a70ae3818de381bee381"
            "9be38293e38082"));
}

void tst_MainWindow::helpMenu()
{
    WindowFixture f;
    FakeDesktop& desktop = f.desktop;
    MainWindow& window = f.window;
    usageAction(window)->trigger();
    QCOMPARE(desktop.boxes.size(), 1);
    QCOMPARE(desktop.boxes[0].text, MainWindow::usageText());
    QCOMPARE(desktop.boxes[0].icon, Icon::Information);
    QVERIFY(!desktop.boxes[0].question);

    QStringList titles;
    desktop.onModal = [&](QDialog& dialog) {
        titles.append(dialog.windowTitle());
        QVERIFY(dialog.parentWidget() == &window);
    };
    aboutAction(window)->trigger();
    window.showAbout();
    QCOMPARE(desktop.modals, 2);
    QCOMPARE(titles, QStringList(2, QStringLiteral("Tallowmereについて")));
    QCOMPARE(desktop.boxes.size(), 1);
}

// Help and About opened during a run: nothing is written while they are open; afterwards the run
// goes on to its normal end.
void tst_MainWindow::aboutDuringARunPausesIt()
{
    TMPFS(volume, 16 * MiB);
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    WindowFixture f;
    pathEdit(f.window)->setText(path);
    sizeEdit(f.window)->setText(QStringLiteral("4"));
    mbButton(f.window)->setChecked(true);
    QList<qint64> sizesWhileOpen;
    const auto whileOpen = [&] {
        // The run starts meanwhile, and waits before its first fill block.
        QVERIFY(QTest::qWaitFor([&f] { return f.desktop.modalPause().waiting() == 1; }));
        sizesWhileOpen.append(fileSize(path));
    };
    f.desktop.onModal = [&](QDialog&) {
        whileOpen();
        usageAction(f.window)->trigger();
    };
    f.desktop.onBox = [&](const FakeDesktop::Box&) { whileOpen(); };
    QVERIFY(finish(f.window, &MainWindow::fillFinished, [&f] {
        f.window.startFill();
        aboutAction(f.window)->trigger();
    }));
    QCOMPARE(sizesWhileOpen, QList<qint64>({ KiB, KiB }));
    QCOMPARE(f.desktop.modals, 1);
    QCOMPARE(f.desktop.boxes.size(), 1);
    QCOMPARE(f.desktop.beeps, 1);
    QCOMPARE(checkFillFile(path, 4 * MiB), QString());
}

void tst_MainWindow::sameFileAsTheCommandLine()
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
    // The command-line filler writes the same file for the same size.
    QProcess filler;
    filler.start(QStringLiteral(TALLOWMERE_FILL), { byCli, QStringLiteral("3M") });
    QVERIFY(filler.waitForFinished(120000));
    QCOMPARE(filler.exitCode(), 0);
    QFile a(byWindow);
    QFile b(byCli);
    QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
    QCOMPARE(a.size(), 3 * MiB);
    QVERIFY(a.readAll() == b.readAll());
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
