#include "app/mainwindow.h"
#include "fill/numbertext.h"

#include "fakedesktop.h"
#include "fillfile.h"
#include "sizes.h"
#include "tmpfs.h"
#include "windowparts.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <clocale>
#include <sys/stat.h>
#include <unistd.h>

class tst_FreeSpace : public QObject
{
    Q_OBJECT

private slots:
    void numberText_data();
    void numberText();
    void numberTextIgnoresTheLocale();
    void captions_data();
    void captions();
    void sizeBoxChangesNoDisplay();
    void labelGrowsToTheRight();
    void diskFreeOnARealVolume();
    void restoredWindowShowsTheUnit();
    void progressDuringARunAndAfterIt();
    void deleteRefreshesTheDisplay();
};

void tst_FreeSpace::numberText_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");

    QTest::newRow("zero") << 0.0 << "0";
    QTest::newRow("whole") << 1200000.0 << "1200000";
    QTest::newRow("fraction") << 1171.875 << "1171.875";
    QTest::newRow("15 digits exactly") << 1177.37548828125 << "1177.37548828125";
    QTest::newRow("rounded to 15 digits (KB)") << 2147483647.0 / 1024 << "2097151.99902344";
    QTest::newRow("rounded to 15 digits (MB)") << 2147483647.0 / 1048576 << "2047.99999904633";
    QTest::newRow("beyond 2^31, no separators") << 5368709120.0 << "5368709120";
    QTest::newRow("beyond 15 digits stays plain") << 1234567890123456789.0 << "1234567890123460000";
    QTest::newRow("small quotient") << 1.0 / 1048576 << "0.00000095367431640625";
    QTest::newRow("rounding carries") << 0.9999999999999999 << "1";
}

void tst_FreeSpace::numberText()
{
    QFETCH(double, value);
    QFETCH(QString, text);
    QCOMPARE(fill::numberText(value), text);
}

void tst_FreeSpace::numberTextIgnoresTheLocale()
{
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::German));
    const QString text = fill::numberText(1234567.5);
    QLocale::setDefault(before);
    QCOMPARE(text, QStringLiteral("1234567.5"));
}

// Free space as the window shows it: a bare number after a path edit, number and unit after a
// unit click.
void tst_FreeSpace::captions_data()
{
    QTest::addColumn<qint64>("free");
    QTest::addColumn<QString>("kb");
    QTest::addColumn<QString>("mb");

    QTest::newRow("1228800000") << qint64(1228800000) << "1200000"
                                << "1171.875";
    QTest::newRow("104857600") << qint64(104857600) << "102400"
                               << "100";
    QTest::newRow("0") << qint64(0) << "0"
                       << "0";
    QTest::newRow("2147483647") << qint64(2147483647) << "2097151.99902344"
                                << "2047.99999904633";
    QTest::newRow("1234567680") << qint64(1234567680) << "1205632.5"
                                << "1177.37548828125";
    QTest::newRow("5 TiB") << qint64(5) * 1024 * 1024 * MiB << "5368709120"
                           << "5242880";
    QTest::newRow("largest") << std::numeric_limits<qint64>::max() << "9007199254740990"
                             << "8796093022208";
}

void tst_FreeSpace::captions()
{
    QFETCH(qint64, free);
    QFETCH(QString, kb);
    QFETCH(QString, mb);
    QTemporaryDir settingsFolder; // for the settings file alone
    FakeDesktop desktop;
    desktop.freeSpace = free;
    platform::SettingsStore store(settingsFolder.filePath(QStringLiteral("settings.ini")));
    MainWindow window(desktop, store);

    kbButton(window)->click();
    QCOMPARE(freeSpaceLabel(window)->text(), kb + QStringLiteral(" KB"));
    pathEdit(window)->setText(QStringLiteral("C:\\work\\fill.dat"));
    QCOMPARE(freeSpaceLabel(window)->text(), kb);
    kbButton(window)->click(); // a click on the selected unit shows the unit again
    QCOMPARE(freeSpaceLabel(window)->text(), kb + QStringLiteral(" KB"));
    mbButton(window)->click();
    QCOMPARE(freeSpaceLabel(window)->text(), mb + QStringLiteral(" MB"));
    pathEdit(window)->setText(QStringLiteral("/data/fill.dat"));
    QCOMPARE(freeSpaceLabel(window)->text(), mb);
    // The free space asked about is that of the path's folder.
    QCOMPARE(desktop.freeSpaceDirs.last(), QStringLiteral("/data/"));
}

void tst_FreeSpace::sizeBoxChangesNoDisplay()
{
    QTemporaryDir settingsFolder; // for the settings file alone
    FakeDesktop desktop;
    desktop.freeSpace = 1024;
    platform::SettingsStore store(settingsFolder.filePath(QStringLiteral("settings.ini")));
    MainWindow window(desktop, store);
    const QString before = freeSpaceLabel(window)->text();
    const int queries = desktop.freeSpaceDirs.size();
    desktop.freeSpace = 2048;
    sizeEdit(window)->setText(QStringLiteral("123"));
    QCOMPARE(freeSpaceLabel(window)->text(), before);
    QCOMPARE(desktop.freeSpaceDirs.size(), queries);
}

void tst_FreeSpace::labelGrowsToTheRight()
{
    QTemporaryDir settingsFolder; // for the settings file alone
    FakeDesktop desktop;
    platform::SettingsStore store(settingsFolder.filePath(QStringLiteral("settings.ini")));
    MainWindow window(desktop, store);
    desktop.freeSpace = 0;
    mbButton(window)->click();
    const QRect small = freeSpaceLabel(window)->geometry();
    desktop.freeSpace = qint64(5) * 1024 * 1024 * MiB + 12345;
    kbButton(window)->click();
    const QRect large = freeSpaceLabel(window)->geometry();
    QCOMPARE(large.topLeft(), small.topLeft());
    QCOMPARE(small.left(), 4440 * window.logicalDpiX() / 1440);
    QVERIFY(large.width() > small.width());
    QVERIFY(large.width() >= freeSpaceLabel(window)->fontMetrics().horizontalAdvance(freeSpaceLabel(window)->text()));
}

void tst_FreeSpace::diskFreeOnARealVolume()
{
    TMPFS(volume, 8 * MiB);
    FakeDesktop desktop; // no scripted free space: the system is asked
    platform::SettingsStore store(volume.filePath(QStringLiteral("settings.ini")));
    MainWindow window(desktop, store);
    const qint64 expected = availableAt(volume.path());
    QVERIFY(expected > 7 * MiB);

    pathEdit(window)->setText(volume.filePath(QStringLiteral("fill.dat")));
    QCOMPARE(window.freeSpace(), expected);
    // A folder that does not exist yet: the volume of the nearest one that does.
    pathEdit(window)->setText(volume.filePath(QStringLiteral("not/yet/there/fill.dat")));
    QCOMPARE(window.freeSpace(), expected);
    // A bare name or an empty text: the current folder, here one on a volume of its own.
    {
        TMPFS(current, 2 * MiB);
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(current.path()));
        const auto back = qScopeGuard([&before] { QDir::setCurrent(before); }); // lets the volume go
        const qint64 here = availableAt(current.path());
        QVERIFY(here < 3 * MiB);
        pathEdit(window)->setText(QStringLiteral("fill.dat"));
        QCOMPARE(window.freeSpace(), here);
        pathEdit(window)->clear();
        QCOMPARE(window.freeSpace(), here);
    }
    // Something that cannot be asked about gives 0.
    pathEdit(window)->setText(QString::fromUtf16(u"/x\u0000y/f", 6));
    QCOMPARE(window.freeSpace(), qint64(0));

    // A link to a file on another volume: the data lands there, so that volume counts, while the
    // path values stay those of the typed text.
    TMPFS(other, 3 * MiB);
    const QString target = other.filePath(QStringLiteral("target.dat"));
    QVERIFY(writeFile(target, QByteArray(1024, '\xff')));
    const qint64 elsewhere = availableAt(other.path());
    QVERIFY(elsewhere < 4 * MiB);
    const QString link = volume.filePath(QStringLiteral("link.dat"));
    QVERIFY(QFile::link(target, link));
    pathEdit(window)->setText(link);
    QCOMPARE(window.freeSpace(), elsewhere);
    // A link to a file not made yet is where the fill will be made.
    QVERIFY(
        QFile::link(other.filePath(QStringLiteral("missing.dat")), volume.filePath(QStringLiteral("dangling.dat"))));
    pathEdit(window)->setText(volume.filePath(QStringLiteral("dangling.dat")));
    QCOMPARE(window.freeSpace(), elsewhere);
    // A loop of links lands nowhere: the folder the typed path is in.
    QVERIFY(QFile::link(QStringLiteral("loop-b"), volume.filePath(QStringLiteral("loop-a"))));
    QVERIFY(QFile::link(QStringLiteral("loop-a"), volume.filePath(QStringLiteral("loop-b"))));
    pathEdit(window)->setText(volume.filePath(QStringLiteral("loop-a")));
    QCOMPARE(window.freeSpace(), availableAt(volume.path()));
    // A link to a place whose name is no text: that volume cannot be asked about.
    const QByteArray odd = QFile::encodeName(other.path()) + "/v\xff";
    QCOMPARE(::mkdir(odd.constData(), 0755), 0);
    QCOMPARE(::symlink((odd + "/fill.dat").constData(),
                       QFile::encodeName(volume.filePath(QStringLiteral("odd"))).constData()),
             0);
    pathEdit(window)->setText(volume.filePath(QStringLiteral("odd")));
    QCOMPARE(window.freeSpace(), qint64(0));
}

void tst_FreeSpace::restoredWindowShowsTheUnit()
{
    TMPFS(volume, 8 * MiB);
    const QString ini = volume.filePath(QStringLiteral("settings.ini"));
    {
        QSettings settings(ini, QSettings::IniFormat);
        settings.setValue(QStringLiteral("Tallowmere/OUTFILE"), volume.filePath(QStringLiteral("fill.dat")));
        settings.setValue(QStringLiteral("Tallowmere/SIZESCALE"), QStringLiteral("1"));
    }
    FakeDesktop desktop;
    platform::SettingsStore store(ini);
    MainWindow window(desktop, store);
    const double mb = static_cast<double>(availableAt(volume.path())) / MiB;
    QCOMPARE(freeSpaceLabel(window)->text(), fill::numberText(mb) + QStringLiteral(" MB"));
}

void tst_FreeSpace::progressDuringARunAndAfterIt()
{
    // Past 16 MiB: the position needs more digits than the label's place holds.
    TMPFS(volume, 24 * MiB);
    FakeDesktop desktop;
    platform::SettingsStore store(volume.filePath(QStringLiteral("settings.ini")));
    MainWindow window(desktop, store);
    window.setProgressInterval(0);
    pathEdit(window)->setText(volume.filePath(QStringLiteral("fill.dat")));
    kbButton(window)->click();
    const int left = positionLabel(window)->x();
    QStringList free, positions;
    desktop.everyPass = [&](int) {
        // The refresh follows the pass: record what the previous pass left.
        free.append(freeSpaceLabel(window)->text());
        positions.append(positionLabel(window)->text());
    };
    window.startFill();
    QVERIFY(free.size() > 10);
    // Pass 1 runs at position 1025 (hex 401) after the header block; the next one 1 MiB later.
    QCOMPARE(positions[1], QStringLiteral("401"));
    QCOMPARE(positions[2], QStringLiteral("100401"));
    QVERIFY(free[1].endsWith(QStringLiteral(" KB")));
    QVERIFY(free[1] != free.last());
    // After the run: the exact free space it left, with the unit, and the position the run ended at,
    // every digit of it in view, the label's left edge where it was.
    QCOMPARE(freeSpaceLabel(window)->text(),
             fill::numberText(availableAt(volume.path()) / 1024.0) + QStringLiteral(" KB"));
    QCOMPARE(freeSpaceLabel(window)->text(), QStringLiteral("0 KB"));
    const qint64 size = fileSize(volume.filePath(QStringLiteral("fill.dat")));
    QVERIFY(size > 16 * MiB);
    QCOMPARE(positionLabel(window)->text(), QString::number(size + 1, 16).toUpper());
    QVERIFY(positionLabel(window)->width() >= positionLabel(window)->sizeHint().width());
    QCOMPARE(positionLabel(window)->x(), left);

    // A run shorter than one refresh still ends showing where it ended.
    desktop.everyPass = nullptr;
    window.setProgressInterval(250);
    QVERIFY(QFile::remove(volume.filePath(QStringLiteral("fill.dat"))));
    sizeEdit(window)->setText(QStringLiteral("3"));
    mbButton(window)->click();
    window.startFill();
    QCOMPARE(positionLabel(window)->text(), QStringLiteral("300001")); // 3 MB of file, header included
}

void tst_FreeSpace::deleteRefreshesTheDisplay()
{
    TMPFS(volume, 8 * MiB);
    FakeDesktop desktop;
    platform::SettingsStore store(volume.filePath(QStringLiteral("settings.ini")));
    MainWindow window(desktop, store);
    pathEdit(window)->setText(volume.filePath(QStringLiteral("fill.dat")));
    mbButton(window)->click();
    window.startFill(); // fills the volume
    QCOMPARE(freeSpaceLabel(window)->text(), QStringLiteral("0 MB"));
    QVERIFY(!positionLabel(window)->text().isEmpty());
    desktop.answers = { platform::AnswerYes };
    window.deleteFillFile();
    // All of the volume but the page the settings file holds; no position of a file that is gone.
    QCOMPARE(freeSpaceLabel(window)->text(), QStringLiteral("7.99609375 MB"));
    QCOMPARE(positionLabel(window)->text(), QString());
}

QTEST_MAIN(tst_FreeSpace)
#include "tst_freespace.moc"
