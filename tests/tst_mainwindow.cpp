#include "app/mf.h"
#include "platform/fontwarmup.h"
#include "util/module2.h"

#include "fakedesktop.h"
#include "fakeoutputfile.h"
#include "fillfile.h"
#include "tmpfs.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTest>

#include <cmath>

namespace {

constexpr qint64 KiB = 1024;
constexpr qint64 MiB = 1024 * 1024;

int px(int twips, int dpi)
{
    return static_cast<int>(std::lround(twips * dpi / 1440.0));
}

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init() { Module2::STOP_FLAG = 0; }

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
    void fillsTheDisk_data();
    void fillsTheDisk();
    void emptyPathOnlyAsks();
    void sizeTooLarge();
    void fileThatCannotBeCreated();
    void diskFullIsSilent();
    void otherWriteErrorIsReported();
    void stopFlagEndsTheRunAndStays();
    void closingDuringARun();
};

void tst_MainWindow::controls_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("twips");
    QTest::addColumn<bool>("enabled");

    QTest::newRow("Label1(0)") << "label" << 0 << QStringLiteral("出力ﾌｧｲﾙ") << QRect(120, 120, 975, 255) << true;
    QTest::newRow("Command1(0)") << "button" << 0 << QStringLiteral("参照...") << QRect(1200, 120, 1000, 300) << true;
    QTest::newRow("Label1(3)") << "label" << 3 << QString() << QRect(3360, 120, 735, 255) << true;
    QTest::newRow("Text1(0)") << "text" << 0 << QString() << QRect(120, 480, 6375, 270) << true;
    QTest::newRow("Label1(1)") << "label" << 1 << QStringLiteral("ｻｲｽﾞ") << QRect(120, 960, 615, 255) << true;
    QTest::newRow("Text1(1)") << "text" << 1 << QString() << QRect(960, 960, 855, 270) << true;
    QTest::newRow("Option1(0)") << "option" << 0 << QStringLiteral("KB") << QRect(2160, 840, 615, 180) << true;
    QTest::newRow("Option1(1)") << "option" << 1 << QStringLiteral("MB") << QRect(2160, 1080, 615, 180) << true;
    QTest::newRow("Label1(4)") << "label" << 4 << QStringLiteral("FreeSpace") << QRect(3000, 960, 1095, 255) << true;
    QTest::newRow("Command1(2)") << "button" << 2 << QStringLiteral("開始(&S)") << QRect(960, 1560, 1000, 300) << true;
    QTest::newRow("Command1(4)") << "button" << 4 << QStringLiteral("終了(&E)") << QRect(2040, 1560, 1000, 300) << true;
    QTest::newRow("Command1(3)") << "button" << 3 << QStringLiteral("中止(&P)") << QRect(3960, 1560, 1000, 300)
                                 << false;
    QTest::newRow("Command1(1)") << "button" << 1 << QStringLiteral("削除(&D)") << QRect(5040, 1560, 1000, 300) << true;
}

void tst_MainWindow::controls()
{
    QFETCH(QString, kind);
    QFETCH(int, index);
    QFETCH(QString, caption);
    QFETCH(QRect, twips);
    QFETCH(bool, enabled);
    TMPFS(volume, MiB);
    FakeDesktop desktop;
    platform::SettingsStore store(volume.filePath(QStringLiteral("settings.ini")));
    MF mf(desktop, store);

    QWidget* widget = nullptr;
    QString text;
    if (kind == QLatin1String("label")) {
        widget = mf.Label1[index];
        text = mf.Label1[index]->text();
    } else if (kind == QLatin1String("button")) {
        widget = mf.Command1[index];
        text = mf.Command1[index]->text();
    } else if (kind == QLatin1String("option")) {
        widget = mf.Option1[index];
        text = mf.Option1[index]->text();
    } else {
        widget = mf.Text1[index];
        text = mf.Text1[index]->text();
    }
    const int dpiX = widget->logicalDpiX();
    const int dpiY = widget->logicalDpiY();
    QCOMPARE(text, caption);
    QCOMPARE(widget->geometry(),
             QRect(px(twips.x(), dpiX), px(twips.y(), dpiY), px(twips.width(), dpiX), px(twips.height(), dpiY)));
    QCOMPARE(widget->isEnabled(), enabled);
    QCOMPARE(widget->parentWidget(), mf.centralWidget());
}

void tst_MainWindow::frameAndMenus()
{
    TMPFS(volume, MiB);
    FakeDesktop desktop;
    platform::SettingsStore store(volume.filePath(QStringLiteral("settings.ini")));
    MF mf(desktop, store);
    mf.show();
    QVERIFY(QTest::qWaitForWindowExposed(&mf));

    QCOMPARE(mf.windowTitle(), QStringLiteral("Tallowmere"));
    const int dpi = mf.logicalDpiX();
    QCOMPARE(mf.centralWidget()->size(), QSize(px(6615, dpi), px(1950, mf.logicalDpiY())));
    QVERIFY(!(mf.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(mf.windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(mf.windowFlags() & Qt::WindowCloseButtonHint);
    QCOMPARE(mf.minimumSize(), mf.maximumSize());
    QVERIFY(!mf.windowIcon().isNull());
    QVERIFY(mf.windowIcon().availableSizes().contains(QSize(32, 32)));

    QCOMPARE(mf.FIL_->title(), QStringLiteral("File(&F)"));
    QCOMPARE(mf.FIL[0]->text(), QStringLiteral("出力ﾌｧｲﾙ変更(&O)..."));
    QCOMPARE(mf.FIL[1]->text(), QStringLiteral("終了(&E)"));
    QCOMPARE(mf.HLP_->title(), QStringLiteral("ﾍﾙﾌﾟ(&H)"));
    QCOMPARE(mf.HLP[0]->text(), QStringLiteral("ﾍﾙﾌﾟ(&H)"));
    QCOMPARE(mf.HLP[1]->text(), QStringLiteral("Tallowmereについて(&A)..."));
    for (QAction* action : { mf.FIL[0], mf.FIL[1], mf.HLP[0], mf.HLP[1] }) {
        QVERIFY(action->shortcut().isEmpty());
        QVERIFY(action->isEnabled());
    }
    QCOMPARE(mf.CommonDialog1.Flags, 2623494);
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
    TMPFS(volume, MiB);
    FakeDesktop desktop;
    platform::SettingsStore store(volume.filePath(QStringLiteral("settings.ini")));
    MF mf(desktop, store);
    mf.show();
    QVERIFY(QTest::qWaitForWindowActive(&mf));
    QCOMPARE(QApplication::focusWidget(), mf.Command1[0]);

    const QList<QWidget*> expected { mf.Command1[0], mf.Command1[2], mf.Command1[3], mf.Command1[4], mf.Text1[0],
                                     mf.Command1[1], mf.Text1[1],    mf.Option1[0],  mf.Option1[1] };
    QList<QWidget*> chain;
    QWidget* widget = mf.Command1[0];
    do {
        if (expected.contains(widget)) {
            chain.append(widget);
        }
        widget = widget->nextInFocusChain();
    } while (widget != mf.Command1[0]);
    QCOMPARE(chain, expected);
    for (QLabel* label : mf.Label1) {
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
    TMPFS(volume, MiB);
    FakeDesktop desktop;
    desktop.dialogAnswers = { std::nullopt };
    platform::SettingsStore store(volume.filePath(QStringLiteral("settings.ini")));
    MF mf(desktop, store);
    mf.show();
    QVERIFY(QTest::qWaitForWindowActive(&mf));
    QWidget* target = focus == QLatin1String("size box") ? static_cast<QWidget*>(mf.Text1[1]) : mf.Command1[0];
    target->setFocus(Qt::TabFocusReason);
    QTest::keyClick(target, static_cast<Qt::Key>(key));
    QCOMPARE(desktop.dialogDirs.size(), dialogs);
    QVERIFY(mf.isVisible());
    QVERIFY(desktop.boxes.isEmpty());
    for (QPushButton* button : mf.Command1) {
        QVERIFY(button == target || !button->isDefault());
    }
}

void tst_MainWindow::firstStartOnAnEmptyStore()
{
    TMPFS(volume, MiB);
    const QString ini = volume.filePath(QStringLiteral("settings.ini"));
    FakeDesktop desktop;
    platform::SettingsStore store(ini);
    MF mf(desktop, store);
    QCOMPARE(mf.Text1[0]->text(), QString());
    QCOMPARE(mf.Text1[1]->text(), QString());
    QVERIFY(mf.Option1[0]->isChecked());
    QVERIFY(!mf.Option1[1]->isChecked());
    QVERIFY(desktop.boxes.isEmpty());
    QVERIFY(!QFile::exists(ini)); // nothing is written before the first Start or close
}

void tst_MainWindow::closeWritesTheThreeKeys()
{
    TMPFS(volume, MiB);
    const QString ini = volume.filePath(QStringLiteral("settings.ini"));
    FakeDesktop desktop;
    {
        platform::SettingsStore store(ini);
        MF mf(desktop, store);
        mf.show();
        QVERIFY(mf.close());
    }
    QCOMPARE(storedSetting(ini, QStringLiteral("OUTFILE")), QString());
    QCOMPARE(storedSetting(ini, QStringLiteral("SIZE")), QString());
    QCOMPARE(storedSetting(ini, QStringLiteral("SIZESCALE")), QStringLiteral("0"));
    QVERIFY(desktop.boxes.isEmpty());
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
    TMPFS(volume, MiB);
    const QString ini = volume.filePath(QStringLiteral("settings.ini"));
    FakeDesktop desktop;
    {
        platform::SettingsStore store(ini);
        MF mf(desktop, store);
        mf.Text1[0]->setText(path);
        mf.Text1[1]->setText(size);
        mf.Option1[megabytes ? 1 : 0]->setChecked(true);
        mf.show();
        QVERIFY(mf.close());
    }
    QCOMPARE(storedSetting(ini, QStringLiteral("SIZESCALE")), megabytes ? QStringLiteral("1") : QStringLiteral("0"));
    platform::SettingsStore store(ini);
    MF mf(desktop, store);
    QCOMPARE(mf.Text1[0]->text(), path);
    QCOMPARE(mf.Text1[1]->text(), size);
    QCOMPARE(mf.Option1[1]->isChecked(), megabytes);
    QCOMPARE(mf.Option1[0]->isChecked(), !megabytes);
    QVERIFY(!mf.Command1[3]->isEnabled());
    QVERIFY(desktop.boxes.isEmpty());
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
    TMPFS(volume, MiB);
    const QString ini = volume.filePath(QStringLiteral("settings.ini"));
    {
        QSettings settings(ini, QSettings::IniFormat);
        settings.setValue(QStringLiteral("Tallowmere/SIZESCALE"), value);
    }
    FakeDesktop desktop;
    platform::SettingsStore store(ini);
    MF mf(desktop, store);
    QVERIFY(mf.Option1[0]->isChecked());
    QVERIFY(!mf.Option1[1]->isChecked());
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
    MF mf(desktop, store);
    mf.show();
    QVERIFY(mf.close()); // the window still closes
    QCOMPARE(desktop.boxes.size(), 1);
    QCOMPARE(desktop.boxes[0].code, 16);
    QVERIFY(desktop.boxes[0].prompt.startsWith(QStringLiteral("設定を保存できません。\r\n")));
    QVERIFY(desktop.boxes[0].prompt.size() > QStringLiteral("設定を保存できません。\r\n").size());
}

void tst_MainWindow::fileLengthForSizeText_data()
{
    QTest::addColumn<QString>("size");
    QTest::addColumn<bool>("megabytes");
    QTest::addColumn<qint64>("length");

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
}

void tst_MainWindow::fileLengthForSizeText()
{
    QFETCH(QString, size);
    QFETCH(bool, megabytes);
    QFETCH(qint64, length);
    TMPFS(volume, 64 * MiB);
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    FakeDesktop desktop;
    platform::SettingsStore store(volume.filePath(QStringLiteral("settings.ini")));
    MF mf(desktop, store);
    mf.Text1[0]->setText(path);
    mf.Text1[1]->setText(size);
    mf.Option1[megabytes ? 1 : 0]->setChecked(true);
    mf.MK_FILE();
    QVERIFY(desktop.boxes.isEmpty());
    const QString problem = checkFillFile(path, length);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void tst_MainWindow::fillsTheDisk_data()
{
    QTest::addColumn<QString>("size");
    QTest::newRow("empty") << "";
    QTest::newRow("0") << "0";
    QTest::newRow("letters") << "abc";
    QTest::newRow("rounds to 0") << "0.0004";
    QTest::newRow("more than the disk") << "999999";
}

void tst_MainWindow::fillsTheDisk()
{
    QFETCH(QString, size);
    TMPFS(volume, 3 * MiB);
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    FakeDesktop desktop;
    platform::SettingsStore store(volume.filePath(QStringLiteral("settings.ini")));
    MF mf(desktop, store);
    mf.Text1[0]->setText(path);
    mf.Text1[1]->setText(size);
    mf.MK_FILE();
    QVERIFY(desktop.boxes.isEmpty());
    QVERIFY2(volume.available() < KiB, qPrintable(QString::number(volume.available())));
    const qint64 length = fileSize(path);
    QVERIFY(length > 2 * MiB);
    const QString problem = checkFillFile(path, length);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void tst_MainWindow::emptyPathOnlyAsks()
{
    TMPFS(volume, MiB);
    FakeDesktop desktop;
    platform::SettingsStore store(volume.filePath(QStringLiteral("settings.ini")));
    MF mf(desktop, store);
    Module2::STOP_FLAG = 1;
    mf.Text1[1]->setText(QStringLiteral("5"));
    mf.MK_FILE();
    QCOMPARE(Module2::STOP_FLAG, qint16(0));
    QCOMPARE(desktop.boxes.size(), 1);
    QCOMPARE(desktop.boxes[0].prompt, QStringLiteral("作成するファイルを入力してください"));
    QCOMPARE(desktop.boxes[0].code, 16);
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
    FakeDesktop desktop;
    platform::SettingsStore store(volume.filePath(QStringLiteral("settings.ini")));
    MF mf(desktop, store);
    for (const QString& size : { QStringLiteral("1e400"), QStringLiteral("8796093022208"), QString(10000, u'9') }) {
        desktop.boxes.clear();
        mf.Text1[0]->setText(path);
        mf.Text1[1]->setText(size);
        mf.Option1[1]->setChecked(true);
        mf.MK_FILE();
        QCOMPARE(desktop.boxes.size(), 1);
        QCOMPARE(desktop.boxes[0].prompt, QStringLiteral("サイズが大きすぎます。\r\n") + size);
        QCOMPARE(desktop.boxes[0].code, 16);
        QCOMPARE(fileSize(path), qint64(8)); // not touched
    }
}

void tst_MainWindow::fileThatCannotBeCreated()
{
    TMPFS(volume, MiB);
    QVERIFY(QDir(volume.path()).mkdir(QStringLiteral("folder")));
    FakeDesktop desktop;
    platform::SettingsStore store(volume.filePath(QStringLiteral("settings.ini")));
    MF mf(desktop, store);
    for (const QString& name : { QStringLiteral("missing/fill.dat"), QStringLiteral("folder") }) {
        desktop.boxes.clear();
        const QString path = volume.filePath(name);
        mf.Text1[0]->setText(path);
        mf.MK_FILE();
        QCOMPARE(desktop.boxes.size(), 1);
        QCOMPARE(desktop.boxes[0].code, 16);
        const QString prompt = desktop.boxes[0].prompt;
        const QString head = path + QStringLiteral("\r\nファイルを作成できません。\r\n");
        QVERIFY2(prompt.startsWith(head) && prompt.size() > head.size(), qPrintable(prompt));
    }
    QVERIFY(!QFile::exists(volume.filePath(QStringLiteral("missing"))));
}

void tst_MainWindow::diskFullIsSilent()
{
    FakeDesktop desktop;
    TMPFS(volume, MiB);
    platform::SettingsStore store(volume.filePath(QStringLiteral("settings.ini")));
    MF mf(desktop, store);
    FakeOutputFile file;
    file.capacity = 5 * MiB + 123;
    mf.setOutputFileFactory([&file] { return std::make_unique<BorrowedOutputFile>(file); });
    mf.Text1[0]->setText(QStringLiteral("fill.dat"));
    mf.Text1[1]->setText(QStringLiteral("100"));
    mf.Option1[1]->setChecked(true);
    mf.MK_FILE();
    QVERIFY(desktop.boxes.isEmpty());
    QCOMPARE(file.creates, 1);
    QCOMPARE(file.size, 5 * MiB);
    QVERIFY(!file.open);
}

void tst_MainWindow::otherWriteErrorIsReported()
{
    FakeDesktop desktop;
    TMPFS(volume, MiB);
    platform::SettingsStore store(volume.filePath(QStringLiteral("settings.ini")));
    MF mf(desktop, store);
    mf.setOutputFileFactory([] {
        auto file = std::make_unique<FakeOutputFile>();
        file->capacity = 2 * MiB;
        file->fullError = { EIO, std::system_category() };
        return file;
    });
    mf.Text1[0]->setText(QStringLiteral("/media/stick/fill.dat"));
    mf.MK_FILE();
    QCOMPARE(desktop.boxes.size(), 1);
    QCOMPARE(desktop.boxes[0].code, 16);
    QCOMPARE(desktop.boxes[0].prompt,
             QStringLiteral("/media/stick/fill.dat\r\n書き込みが途中で終了しました。\r\n")
                 + platform::errorText({ EIO, std::system_category() }));
}

void tst_MainWindow::stopFlagEndsTheRunAndStays()
{
    TMPFS(volume, 64 * MiB);
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    FakeDesktop desktop;
    desktop.onPass[3] = [] { Module2::STOP_FLAG = 1; };
    platform::SettingsStore store(volume.filePath(QStringLiteral("settings.ini")));
    MF mf(desktop, store);
    mf.Text1[0]->setText(path);
    mf.MK_FILE(); // fill the disk, stopped on the 3rd pass
    QCOMPARE(desktop.passes, 3);
    QCOMPARE(Module2::STOP_FLAG, qint16(1));
    const qint64 stoppedAt = fileSize(path);
    QVERIFY(stoppedAt >= KiB && stoppedAt < 64 * MiB);
    QCOMPARE(stoppedAt % KiB, 0);
    const QString problem = checkFillFile(path, stoppedAt);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));

    // The next run clears the flag first and runs to its target.
    desktop.onPass.clear();
    mf.Text1[1]->setText(QStringLiteral("5"));
    mf.Option1[1]->setChecked(true);
    mf.MK_FILE();
    QCOMPARE(Module2::STOP_FLAG, qint16(0));
    QCOMPARE(fileSize(path), 5 * MiB);
}

void tst_MainWindow::closingDuringARun()
{
    TMPFS(volume, 64 * MiB);
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    const QString ini = volume.filePath(QStringLiteral("settings.ini"));
    FakeDesktop desktop;
    platform::SettingsStore store(ini);
    MF mf(desktop, store);
    mf.show();
    QVERIFY(QTest::qWaitForWindowExposed(&mf));
    mf.Text1[0]->setText(path);
    mf.Text1[1]->setText(QStringLiteral("40"));
    mf.Option1[1]->setChecked(true);
    desktop.onPass[3] = [&mf] { mf.close(); };
    mf.MK_FILE();
    QCOMPARE(desktop.passes, 3);
    QVERIFY(!mf.isVisible());
    const qint64 length = fileSize(path);
    QVERIFY(length < 40 * MiB);
    const QString problem = checkFillFile(path, length);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QCOMPARE(storedSetting(ini, QStringLiteral("OUTFILE")), path);
    QCOMPARE(storedSetting(ini, QStringLiteral("SIZE")), QStringLiteral("40"));
    QCOMPARE(storedSetting(ini, QStringLiteral("SIZESCALE")), QStringLiteral("1"));
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
