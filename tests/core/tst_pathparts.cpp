// The path helpers: splitting a path into drive, folder, name and extension under the Windows and
// the POSIX rules, the last occurrence of a text, and the folder the file dialog opens in.

#include "core/pathparts.h"

#include <QTest>

class tst_PathParts : public QObject
{
    Q_OBJECT

private slots:
    void split_data();
    void split();
    void lastPosition_data();
    void lastPosition();
    void textsBeyond16Bits();
    void dialogFolder_data();
    void dialogFolder();
};

// Each row is written with backslashes and run twice: as written under the Windows rules, and with
// "/" for "\" under the POSIX rules, where "X:" is no drive but part of the name.
void tst_PathParts::split_data()
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

void tst_PathParts::split()
{
    QFETCH(QString, path);
    QFETCH(QString, drive);
    QFETCH(QString, dir);
    QFETCH(QString, name);
    QFETCH(QString, ext);
    QFETCH(bool, windows);
    const fill::PathParts parts = fill::splitPath(path, windows ? fill::windowsPaths : fill::posixPaths);
    QCOMPARE(parts.drive, drive);
    QCOMPARE(parts.folder, dir);
    QCOMPARE(parts.name, name);
    QCOMPARE(parts.extension, ext);
}

void tst_PathParts::lastPosition_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("find");
    QTest::addColumn<qsizetype>("position");

    QTest::newRow("backslash") << "a\\b\\c"
                               << "\\" << qsizetype(4);
    QTest::newRow("none") << "abc"
                          << "\\" << qsizetype(0);
    QTest::newRow("overlapping") << "aaa"
                                 << "aa" << qsizetype(2);
    QTest::newRow("case-sensitive") << "aAa"
                                    << "A" << qsizetype(2);
    QTest::newRow("empty text") << ""
                                << "." << qsizetype(0);
    QTest::newRow("empty find") << "abc"
                                << "" << qsizetype(0);
}

void tst_PathParts::lastPosition()
{
    QFETCH(QString, text);
    QFETCH(QString, find);
    QFETCH(qsizetype, position);
    QCOMPARE(fill::lastPosition(text, find), position);
}

// Positions past 32767 are counted in full.
void tst_PathParts::textsBeyond16Bits()
{
    const QString folder = QString(40000, u'd') + u'/';
    const QString path = folder + QString(30000, u'n') + QStringLiteral(".x");
    QCOMPARE(fill::lastPosition(path, QStringLiteral("/")), qsizetype(40001));
    const fill::PathParts parts = fill::splitPath(path, fill::posixPaths);
    QCOMPARE(parts.folder, folder);
    QCOMPARE(parts.name.size(), 30000);
    QCOMPARE(parts.extension, QStringLiteral(".x"));
}

void tst_PathParts::dialogFolder_data()
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

void tst_PathParts::dialogFolder()
{
    QFETCH(QString, path);
    QFETCH(bool, windows);
    QFETCH(QString, joined);
    QCOMPARE(fill::dialogFolder(path, windows ? fill::windowsPaths : fill::posixPaths), joined);
}

QTEST_APPLESS_MAIN(tst_PathParts)
#include "tst_pathparts.moc"
