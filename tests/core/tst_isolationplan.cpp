// The isolation's plan: which folders are refused, and why, from what the system says of them.

#include "core/isolationplan.h"
#include "tmpfs.h"

#include <QFile>
#include <QTest>

using fill::IsolationRefusal;
using Facts = platform::IsolationFacts;

Q_DECLARE_METATYPE(fill::IsolationRefusal)

class tst_IsolationPlan : public QObject
{
    Q_OBJECT

private slots:
    void isolate_data();
    void isolate();
    void rootsWay_data();
    void rootsWay();
};

// Folders as the system has them, looked at for real.
void tst_IsolationPlan::isolate_data()
{
    QTest::addColumn<QString>("folder"); // DIR is a folder of a tmpfs with a file a in it
    QTest::addColumn<IsolationRefusal>("refusal");
    QTest::addColumn<QString>("value"); // the file system it names, if any

    QTest::newRow("a folder") << "DIR" << IsolationRefusal::None << "";
    QTest::newRow("not a folder") << "DIR/a" << IsolationRefusal::NotAFolder << "";
    QTest::newRow("missing") << "DIR/none" << IsolationRefusal::Unreadable << "";
    QTest::newRow("the root folder") << "/" << IsolationRefusal::RootFolder << "";
    QTest::newRow("proc") << "/proc/self" << IsolationRefusal::PseudoFileSystem << "proc";
    QTest::newRow("sysfs") << "/sys/kernel" << IsolationRefusal::PseudoFileSystem << "sysfs";
}

void tst_IsolationPlan::isolate()
{
    QFETCH(QString, folder);
    QFETCH(IsolationRefusal, refusal);
    QFETCH(QString, value);
    TMPFS(volume, 64 * 1024);
    QFile file(volume.filePath(QStringLiteral("a")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    const fill::IsolationPlan plan
        = fill::planIsolation(platform::isolationFacts(folder.replace(QStringLiteral("DIR"), volume.path())), 0);
    QCOMPARE(plan.refusal, refusal);
    QCOMPARE(plan.dir, folder);
    QCOMPARE(plan.pseudoFileSystem, value);
    QCOMPARE(plan.error != 0, refusal == IsolationRefusal::Unreadable);
}

// Root's look at who may rename or replace a folder on the way to DIR, and an ordinary user's rules.
void tst_IsolationPlan::rootsWay_data()
{
    QTest::addColumn<Facts>("facts");
    QTest::addColumn<IsolationRefusal>("refusal");
    QTest::addColumn<QString>("path"); // the folder it names

    Facts dir;
    dir.given = dir.folder = QStringLiteral("/srv/d");
    dir.isFolder = dir.asRoot = true;
    Facts::OnTheWay d { QStringLiteral("/srv/d"), 0, 0, {}, QStringLiteral("/srv"), 0, false, false, false };
    Facts::OnTheWay srv { QStringLiteral("/srv"), 0, 0, {}, QStringLiteral("/"), 0, false, false, false };
    const Facts::OnTheWay top { QStringLiteral("/"), 0, 0, {}, QStringLiteral("/"), 0, false, true, true };
    const auto way = [&](Facts::OnTheWay first, Facts::OnTheWay second) {
        Facts facts = dir;
        facts.way = { first, second, top };
        return facts;
    };
    QTest::newRow("root's folders all the way") << way(d, srv) << IsolationRefusal::None << "";
    Facts::OnTheWay owned = srv;
    owned.uid = 1000;
    QTest::newRow("a user's folder above") << way(d, owned) << IsolationRefusal::WayOwnedByUser << "/srv";
    Facts::OnTheWay open = d;
    open.aboveWritableByOthers = true;
    QTest::newRow("in a folder anyone may write to") << way(open, srv) << IsolationRefusal::WayWritable << "/srv/d";
    open.aboveSticky = true;
    QTest::newRow("with the sticky bit") << way(open, srv) << IsolationRefusal::None << "";
    Facts::OnTheWay group = d;
    group.aboveWritableByGroup = true;
    QTest::newRow("writable by root's group") << way(group, srv) << IsolationRefusal::None << "";
    group.aboveGid = 5;
    QTest::newRow("writable by another group") << way(group, srv) << IsolationRefusal::WayWritable << "/srv/d";
    Facts::OnTheWay gone = d;
    gone.error = ENOENT;
    QTest::newRow("a folder gone") << way(gone, owned) << IsolationRefusal::WayUnreadable << "/srv/d";
    Facts user = dir;
    user.asRoot = false;
    user.way = { owned };
    user.mountsBelow = { QStringLiteral("/srv/d/m") };
    QTest::newRow("user: a volume below") << user << IsolationRefusal::NotOwnFolder << "";
    user.ownFolder = true;
    QTest::newRow("user: a volume below, own folder") << user << IsolationRefusal::VolumeBelow << "/srv/d/m";
}

void tst_IsolationPlan::rootsWay()
{
    QFETCH(Facts, facts);
    QFETCH(IsolationRefusal, refusal);
    QFETCH(QString, path);
    const fill::IsolationPlan plan = fill::planIsolation(facts, 4096);
    QCOMPARE(plan.refusal, refusal);
    QCOMPARE(plan.path, path);
    QCOMPARE(plan.gid, refusal == IsolationRefusal::WayWritable ? facts.way.first().aboveGid : 0U);
    QCOMPARE(plan.memoryShort, false);
}

QTEST_MAIN(tst_IsolationPlan)
#include "tst_isolationplan.moc"
