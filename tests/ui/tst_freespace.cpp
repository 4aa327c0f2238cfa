#include "core/numbertext.h"
#include "ui/mainwindow.h"

#include "fillfile.h"
#include "sizes.h"
#include "tmpfs.h"
#include "windowfixture.h"
#include "windowparts.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
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
    void pathEditedDuringARun();
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
    WindowFixture f;
    f.desktop.setFreeSpace(free);
    MainWindow& window = f.window;

    kbButton(window)->click();
    QTRY_COMPARE(freeSpaceLabel(window)->text(), kb + QStringLiteral(" KB"));
    pathEdit(window)->setText(QStringLiteral("C:\\work\\fill.dat"));
    QTRY_COMPARE(freeSpaceLabel(window)->text(), kb);
    kbButton(window)->click(); // a click on the selected unit shows the unit again
    QTRY_COMPARE(freeSpaceLabel(window)->text(), kb + QStringLiteral(" KB"));
    mbButton(window)->click();
    QTRY_COMPARE(freeSpaceLabel(window)->text(), mb + QStringLiteral(" MB"));
    pathEdit(window)->setText(QStringLiteral("/data/fill.dat"));
    QTRY_COMPARE(freeSpaceLabel(window)->text(), mb);
    // The free space asked about is that of the path's folder.
    QVERIFY(settled(window));
    QCOMPARE(f.desktop.freeSpaceFolders().last(), QStringLiteral("/data/"));
}

void tst_FreeSpace::sizeBoxChangesNoDisplay()
{
    WindowFixture f;
    f.desktop.setFreeSpace(1024);
    kbButton(f.window)->click();
    QVERIFY(settled(f.window));
    const QString before = freeSpaceLabel(f.window)->text();
    const qsizetype queries = f.desktop.freeSpaceFolders().size();
    f.desktop.setFreeSpace(2048);
    sizeEdit(f.window)->setText(QStringLiteral("123"));
    QCOMPARE(f.window.volumeCallsOut(), 0);
    QCOMPARE(freeSpaceLabel(f.window)->text(), before);
    QCOMPARE(f.desktop.freeSpaceFolders().size(), queries);
}

void tst_FreeSpace::labelGrowsToTheRight()
{
    WindowFixture f;
    MainWindow& window = f.window;
    f.desktop.setFreeSpace(0);
    mbButton(window)->click();
    QTRY_COMPARE(freeSpaceLabel(window)->text(), QStringLiteral("0 MB"));
    const QRect small = freeSpaceLabel(window)->geometry();
    f.desktop.setFreeSpace(qint64(5) * 1024 * 1024 * MiB + 12345);
    kbButton(window)->click();
    QTRY_VERIFY(freeSpaceLabel(window)->text() != QStringLiteral("0 MB"));
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
    const auto freeSpace
        = [query = desktop.freeSpaceQuery()](const QString& path) { return MainWindow::freeSpace(query, path); };
    const qint64 expected = availableAt(volume.path());
    QVERIFY(expected > 7 * MiB);

    QCOMPARE(freeSpace(volume.filePath(QStringLiteral("fill.dat"))), expected);
    // A folder that does not exist yet: the volume of the nearest one that does.
    QCOMPARE(freeSpace(volume.filePath(QStringLiteral("not/yet/there/fill.dat"))), expected);
    // A bare name or an empty text: the current folder, here one on a volume of its own.
    {
        TMPFS(current, 2 * MiB);
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(current.path()));
        const auto back = qScopeGuard([&before] { QDir::setCurrent(before); }); // lets the volume go
        const qint64 here = availableAt(current.path());
        QVERIFY(here < 3 * MiB);
        QCOMPARE(freeSpace(QStringLiteral("fill.dat")), here);
        QCOMPARE(freeSpace(QString()), here);
    }
    // Something that cannot be asked about gives 0.
    QCOMPARE(freeSpace(QString::fromUtf16(u"/x\u0000y/f", 6)), qint64(0));

    // A link to a file on another volume: the data lands there, so that volume counts, while the
    // path values stay those of the typed text.
    TMPFS(other, 3 * MiB);
    const QString target = other.filePath(QStringLiteral("target.dat"));
    QVERIFY(writeFile(target, QByteArray(1024, '\xff')));
    const qint64 elsewhere = availableAt(other.path());
    QVERIFY(elsewhere < 4 * MiB);
    const QString link = volume.filePath(QStringLiteral("link.dat"));
    QVERIFY(QFile::link(target, link));
    QCOMPARE(freeSpace(link), elsewhere);
    // A link to a file not made yet is where the fill will be made.
    QVERIFY(
        QFile::link(other.filePath(QStringLiteral("missing.dat")), volume.filePath(QStringLiteral("dangling.dat"))));
    QCOMPARE(freeSpace(volume.filePath(QStringLiteral("dangling.dat"))), elsewhere);
    // A loop of links lands nowhere: the folder the typed path is in.
    QVERIFY(QFile::link(QStringLiteral("loop-b"), volume.filePath(QStringLiteral("loop-a"))));
    QVERIFY(QFile::link(QStringLiteral("loop-a"), volume.filePath(QStringLiteral("loop-b"))));
    QCOMPARE(freeSpace(volume.filePath(QStringLiteral("loop-a"))), availableAt(volume.path()));
    // A link to a place whose name is no text: that volume cannot be asked about.
    const QByteArray odd = QFile::encodeName(other.path()) + "/v\xff";
    QCOMPARE(::mkdir(odd.constData(), 0755), 0);
    QCOMPARE(::symlink((odd + "/fill.dat").constData(),
                       QFile::encodeName(volume.filePath(QStringLiteral("odd"))).constData()),
             0);
    QCOMPARE(freeSpace(volume.filePath(QStringLiteral("odd"))), qint64(0));
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
    QTRY_COMPARE(freeSpaceLabel(window)->text(), fill::numberText(mb) + QStringLiteral(" MB"));
}

void tst_FreeSpace::progressDuringARunAndAfterIt()
{
    // Past 16 MiB: the position needs more digits than the label's place holds.
    TMPFS(volume, 24 * MiB);
    WindowFixture f;
    MainWindow& window = f.window;
    window.setProgressInterval(0);
    pathEdit(window)->setText(volume.filePath(QStringLiteral("fill.dat")));
    kbButton(window)->click();
    const int left = positionLabel(window)->x();
    QString firstFree;
    QSignalSpy finished(&window, &MainWindow::fillFinished);
    {
        // The first sample, at the position after the header block (hex 401), shows while the run waits.
        const fill::Pause::Hold held(f.desktop.modalPause());
        window.startFill();
        QVERIFY(QTest::qWaitFor([&f] { return f.desktop.modalPause().waiting() == 1; }));
        QTRY_COMPARE(positionLabel(window)->text(), QStringLiteral("401"));
        firstFree = freeSpaceLabel(window)->text();
    }
    QVERIFY(finished.wait());
    QVERIFY(firstFree.endsWith(QStringLiteral(" KB")));
    QVERIFY(firstFree != freeSpaceLabel(window)->text());
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
    window.setProgressInterval(250);
    QVERIFY(QFile::remove(volume.filePath(QStringLiteral("fill.dat"))));
    sizeEdit(window)->setText(QStringLiteral("3"));
    mbButton(window)->click();
    QVERIFY(finishStart(window));
    QCOMPARE(positionLabel(window)->text(), QStringLiteral("300001")); // 3 MB of file, header included
}

// The free space shown is always that of the path in the box: a run's samples only while the box
// holds the run's path, and after the run that of the path the user typed meanwhile.
void tst_FreeSpace::pathEditedDuringARun()
{
    TMPFS(volume, 16 * MiB);
    TMPFS(other, 8 * MiB);
    WindowFixture f;
    f.window.setProgressInterval(0);
    pathEdit(f.window)->setText(volume.filePath(QStringLiteral("fill.dat")));
    mbButton(f.window)->click();
    const QString otherFree = fill::numberText(static_cast<double>(availableAt(other.path())) / MiB);
    QSignalSpy finished(&f.window, &MainWindow::fillFinished);
    {
        const fill::Pause::Hold held(f.desktop.modalPause());
        f.window.startFill(); // fills the volume
        QVERIFY(QTest::qWaitFor([&f] { return f.desktop.modalPause().waiting() == 1; }));
        pathEdit(f.window)->setText(other.filePath(QStringLiteral("fill.dat")));
        QTRY_COMPARE(freeSpaceLabel(f.window)->text(), otherFree);
    }
    QVERIFY(finished.wait());
    QVERIFY(volume.available() < KiB);
    QTRY_COMPARE(freeSpaceLabel(f.window)->text(), otherFree + QStringLiteral(" MB"));
}

void tst_FreeSpace::deleteRefreshesTheDisplay()
{
    TMPFS(volume, 8 * MiB);
    FakeDesktop desktop;
    platform::SettingsStore store(volume.filePath(QStringLiteral("settings.ini")));
    MainWindow window(desktop, store);
    pathEdit(window)->setText(volume.filePath(QStringLiteral("fill.dat")));
    mbButton(window)->click();
    QVERIFY(finishStart(window)); // fills the volume
    QCOMPARE(freeSpaceLabel(window)->text(), QStringLiteral("0 MB"));
    QVERIFY(!positionLabel(window)->text().isEmpty());
    desktop.answers = { true };
    QVERIFY(finishDelete(window));
    // All of the volume but the page the settings file holds; no position of a file that is gone.
    QTRY_COMPARE(freeSpaceLabel(window)->text(), QStringLiteral("7.99609375 MB"));
    QCOMPARE(positionLabel(window)->text(), QString());
}

QTEST_MAIN(tst_FreeSpace)
#include "tst_freespace.moc"
