#include "fill/browse.h"
#include "util/centerform.h"
#include "util/lib_sys.h"

#include <QScreen>
#include <QTest>
#include <QWidget>

using namespace LIB_SYS;

class tst_LibSys : public QObject
{
    Q_OBJECT

private slots:
    void split_data();
    void split();
    void lastInstr_data();
    void lastInstr();
    void textsBeyond16Bits();
    void browseDirectory_data();
    void browseDirectory();
    void placement_data();
    void placement();
    void centerFormPlacesAndTakesTheIcon();
};

// Each row is written with backslashes and run twice: as written under the Windows rules, and with
// "/" for "\" under the POSIX rules, where "X:" is no drive but part of the name.
void tst_LibSys::split_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("drive");
    QTest::addColumn<QString>("dir");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("ext");
    QTest::addColumn<bool>("windows");

    struct Row
    {
        const char* path;
        const char* drive;
        const char* dir;
        const char* name;
        const char* ext;
    };
    const Row rows[] = {
        { "C:\\work\\fill.dat", "C:", "\\work\\", "fill", ".dat" },
        { "C:\\fill.dat", "C:", "\\", "fill", ".dat" },
        { "C:fill.dat", "C:", "", "fill", ".dat" },
        { "fill.dat", "", "", "fill", ".dat" },
        { "C:\\work.d\\fill", "C:", "\\work.d\\", "fill", "" },
        { "C:\\work\\.profile", "C:", "\\work\\", "", ".profile" },
        { "C:\\work\\a.b.c", "C:", "\\work\\", "a.b", ".c" },
        { "C:\\work\\", "C:", "\\work\\", "", "" },
        { "d:\\x\\y\\z.", "d:", "\\x\\y\\", "z", "." },
        { "C:", "C:", "", "", "" },
        { "\\\\srv\\share\\f.txt", "", "\\\\srv\\share\\", "f", ".txt" },
        { "1:\\x", "1:", "\\", "x", "" },
        { "", "", "", "", "" },
    };
    for (const Row& row : rows) {
        QTest::addRow("windows: %s", row.path) << row.path << row.drive << row.dir << row.name << row.ext << true;

        // Under POSIX rules the drive text stays in front of the folder (or the name).
        const QString path = QString::fromLatin1(row.path).replace(u'\\', u'/');
        QString dir = QString::fromLatin1(row.dir).replace(u'\\', u'/');
        QString name = QString::fromLatin1(row.name);
        if (dir.isEmpty()) {
            name.prepend(QLatin1String(row.drive));
        } else {
            dir.prepend(QLatin1String(row.drive));
        }
        QTest::addRow("posix: %s", qPrintable(path)) << path << QString() << dir << name << row.ext << false;
    }
}

void tst_LibSys::split()
{
    QFETCH(QString, path);
    QFETCH(QString, drive);
    QFETCH(QString, dir);
    QFETCH(QString, name);
    QFETCH(QString, ext);
    QFETCH(bool, windows);
    PATH_DRIVE = PATH_DIR = PATH_NAME = PATH_EXT = QStringLiteral("stale");
    SPLIT_PATH(path, windows ? windowsPaths : posixPaths);
    QCOMPARE(PATH_DRIVE, drive);
    QCOMPARE(PATH_DIR, dir);
    QCOMPARE(PATH_NAME, name);
    QCOMPARE(PATH_EXT, ext);
}

void tst_LibSys::lastInstr_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("find");
    QTest::addColumn<QString>("position");

    QTest::newRow("backslash") << "a\\b\\c"
                               << "\\"
                               << "4";
    QTest::newRow("none") << "abc"
                          << "\\"
                          << "0";
    QTest::newRow("overlapping") << "aaa"
                                 << "aa"
                                 << "2";
    QTest::newRow("case-sensitive") << "aAa"
                                    << "A"
                                    << "2";
    QTest::newRow("empty text") << ""
                                << "."
                                << "0";
    QTest::newRow("empty find") << "abc"
                                << ""
                                << "0";
}

void tst_LibSys::lastInstr()
{
    QFETCH(QString, text);
    QFETCH(QString, find);
    QFETCH(QString, position);
    QCOMPARE(LAST_INSTR(text, find), position);
}

// Positions past 32767 are counted in full.
void tst_LibSys::textsBeyond16Bits()
{
    const QString folder = QString(40000, u'd') + u'/';
    const QString path = folder + QString(30000, u'n') + QStringLiteral(".x");
    QCOMPARE(LAST_INSTR(path, QStringLiteral("/")), QString::number(40001));
    SPLIT_PATH(path, posixPaths);
    QCOMPARE(PATH_DIR, folder);
    QCOMPARE(PATH_NAME.size(), 30000);
    QCOMPARE(PATH_EXT, QStringLiteral(".x"));
}

void tst_LibSys::browseDirectory_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("windows");
    QTest::addColumn<QString>("joined");

    QTest::newRow("C:\\data\\fill.bin") << "C:\\data\\fill.bin" << true << "C:\\\\data\\";
    QTest::newRow("C:\\fill.bin") << "C:\\fill.bin" << true << "C:\\\\";
    QTest::newRow("C:fill.bin") << "C:fill.bin" << true << "C:\\";
    QTest::newRow("fill.bin") << "fill.bin" << true << "\\";
    QTest::newRow("posix absolute") << "/data/fill.bin" << false << "//data/";
    QTest::newRow("posix bare name") << "fill.bin" << false << "/";
}

void tst_LibSys::browseDirectory()
{
    QFETCH(QString, path);
    QFETCH(bool, windows);
    QFETCH(QString, joined);
    QCOMPARE(fill::browseInitialDir(path, windows ? windowsPaths : posixPaths), joined);
}

void tst_LibSys::placement_data()
{
    QTest::addColumn<double>("mainLeft");
    QTest::addColumn<double>("width");
    QTest::addColumn<double>("left");
    QTest::addColumn<double>("top");

    QTest::newRow("centred") << 1000.0 << 5000.0 << 1900.0 << 1050.0;
    QTest::newRow("kept inside on the right") << 12000.0 << 5000.0 << 10360.0 << 1050.0;
    QTest::newRow("wider than the screen") << 1000.0 << 16000.0 << -640.0 << 1050.0;
    QTest::newRow("odd difference truncates") << 1000.0 << 5001.0 << 1899.0 << 1050.0;
    QTest::newRow("negative odd difference truncates toward zero") << 1000.0 << 6803.0 << 999.0 << 1050.0;
    QTest::newRow("left of the screen") << -3000.0 << 5000.0 << 0.0 << 1050.0;
}

void tst_LibSys::placement()
{
    QFETCH(double, mainLeft);
    QFETCH(double, width);
    QFETCH(double, left);
    QFETCH(double, top);
    const Placement place = centerPlacement(mainLeft, 800, 6800, 3000, width, 2500, 15360, 11520);
    QCOMPARE(place.left, left);
    QCOMPARE(place.top, top);
}

void tst_LibSys::centerFormPlacesAndTakesTheIcon()
{
    QWidget main;
    QPixmap icon(32, 32);
    icon.fill(Qt::blue);
    main.setWindowIcon(QIcon(icon));
    main.setGeometry(100, 100, 600, 400);
    QWidget window(&main, Qt::Dialog);
    window.resize(200, 100);
    CENTER_FORM(&window);
    QVERIFY(!window.windowIcon().isNull());
    const QPoint screenTopLeft = main.screen()->geometry().topLeft();
    // Without frames (offscreen) the outer and inner sizes agree: plain centring.
    QCOMPARE(window.pos() - screenTopLeft, main.frameGeometry().topLeft() - screenTopLeft + QPoint(200, 150));
}

QTEST_MAIN(tst_LibSys)
#include "tst_libsys.moc"
