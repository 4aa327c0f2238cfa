#include "about/about.h"
#include "about/aboutlayout.h"
#include "app/mf.h"
#include "util/module2.h"

#include "fakedesktop.h"
#include "fillfile.h"
#include "tmpfs.h"

#include <QAction>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>

namespace {

constexpr qint64 MiB = 1024 * 1024;

QList<QRect> geometries(const ABOUT& about)
{
    QList<QRect> all { about.geometry(), about.Picture1->geometry() };
    for (const QLabel* label : about.Label1) {
        all.append(label->geometry());
    }
    for (const QPushButton* button : about.Command1) {
        all.append(button->geometry());
    }
    return all;
}

// Text extents and sizes of a typical window, in twips.
about::Measures typicalMeasures()
{
    about::Measures m;
    m.picture = { 480, 480 };
    m.comments = { 2400, 195 };
    m.product = { 2700, 1080 };
    m.version = { 600, 195 };
    m.company = { 2000, 390 };
    m.idCopyButton = m.okButton = { 1215, 375 };
    return m;
}

} // namespace

class tst_About : public QObject
{
    Q_OBJECT

private slots:
    void buttonLefts();
    void centring();
    void layoutFollowsTheMeasures();
    void layoutRoundsFractions_data();
    void layoutRoundsFractions();
    void longCommentsDoNotWidenTheWindow();
    void versionTexts_data();
    void versionTexts();

    void windowTextsAndLayout();
    void openingTwiceGivesTheSameLayout();
    void idCopy_data();
    void idCopy();
    void doubleClicks();
    void enterAndEsc_data();
    void enterAndEsc();

    void usageText();
    void helpMenu();
    void aboutDuringARunPausesIt();
};

void tst_About::buttonLefts()
{
    const about::ButtonLefts lefts = about::buttonLefts(5000, 1215, 1215);
    QCOMPARE(lefts.idCopy, 1185.0);
    QCOMPARE(lefts.ok, 2600.0);
}

void tst_About::centring()
{
    QCOMPARE(about::centredLeft(5001, 3000), 1000.0);
    QCOMPARE(about::centredLeft(3000, 3003), -1.0); // truncates toward zero
}

void tst_About::layoutFollowsTheMeasures()
{
    const about::Layout l = about::layOut(typicalMeasures());
    QCOMPARE(l.picture, QRectF(100, 100, 480, 480));
    QCOMPARE(l.comments.topLeft(), QPointF(780, 100)); // 200 right of the picture
    QCOMPARE(l.product.topLeft(), QPointF(780, 495)); // 100 + 195 + 200
    QCOMPARE(l.version.topLeft(), QPointF(3580, 1380)); // bottom edges aligned
    QCOMPARE(l.version.bottom(), l.product.bottom());
    QCOMPARE(l.client.width(), 4380.0); // 200 right of the version
    QCOMPARE(l.company.topLeft(), QPointF(1190, 1975)); // centred, 400 below the product name
    QCOMPARE(l.idCopyButton.topLeft(), QPointF(875, 2565));
    QCOMPARE(l.okButton.topLeft(), QPointF(2290, 2565));
    QCOMPARE(l.client.height(), 3340.0); // 400 below the buttons
}

// Text extents in twips come with fractions at most resolutions: each rounding step of the layout
// rounds halves to even, and the two centrings round before they halve.
void tst_About::layoutRoundsFractions_data()
{
    QTest::addColumn<QString>("measure");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("result");
    QTest::addColumn<double>("expected");
    QTest::newRow("494.5 to even below") << "comments height" << 194.5 << "product top" << 494.0;
    QTest::newRow("495.5 to even above") << "comments height" << 195.5 << "product top" << 496.0;
    QTest::newRow("1774.5 below the product") << "product height" << 1079.5 << "company top" << 1974.0;
    QTest::newRow("1775.5 below the product") << "product height" << 1080.5 << "company top" << 1976.0;
    QTest::newRow("2565.5 below the company") << "company height" << 390.5 << "buttons top" << 2566.0;
    QTest::newRow("3140.5 below the buttons") << "button height" << 375.5 << "client height" << 3340.0;
    QTest::newRow("buttons: 1750.5 rounds, then halves") << "version width" << 600.5 << "ID Copy left" << 875.0;
    QTest::newRow("buttons: 1751.5 rounds, then halves") << "version width" << 601.5 << "ID Copy left" << 876.0;
    QTest::newRow("buttons: 1751 halves, truncated") << "version width" << 601.0 << "ID Copy left" << 875.0;
    QTest::newRow("contact: 2379.5 rounds, then halves") << "company width" << 2000.5 << "company left" << 1190.0;
    QTest::newRow("contact: 2379 halves, truncated") << "company width" << 2001.0 << "company left" << 1189.0;
    QTest::newRow("contact wider: -1001 truncated to zero") << "company width" << 5381.0 << "company left" << -500.0;
}

void tst_About::layoutRoundsFractions()
{
    QFETCH(QString, measure);
    QFETCH(double, value);
    QFETCH(QString, result);
    QFETCH(double, expected);
    about::Measures m = typicalMeasures();
    const QMap<QString, qreal*> measures {
        { QStringLiteral("comments height"), &m.comments.rheight() },
        { QStringLiteral("product height"), &m.product.rheight() },
        { QStringLiteral("company height"), &m.company.rheight() },
        { QStringLiteral("version width"), &m.version.rwidth() },
        { QStringLiteral("company width"), &m.company.rwidth() },
    };
    if (measure == QLatin1String("button height")) {
        m.idCopyButton.rheight() = m.okButton.rheight() = value;
    } else {
        QVERIFY(measures.contains(measure));
        *measures[measure] = value;
    }
    const about::Layout l = about::layOut(m);
    const QMap<QString, double> results {
        { QStringLiteral("product top"), l.product.top() },
        { QStringLiteral("company top"), l.company.top() },
        { QStringLiteral("buttons top"), l.idCopyButton.top() },
        { QStringLiteral("client height"), l.client.height() },
        { QStringLiteral("ID Copy left"), l.idCopyButton.left() },
        { QStringLiteral("company left"), l.company.left() },
    };
    QVERIFY(results.contains(result));
    QCOMPARE(results[result], expected);
    QCOMPARE(l.okButton.top(), l.idCopyButton.top());
}

void tst_About::longCommentsDoNotWidenTheWindow()
{
    about::Measures m = typicalMeasures();
    const about::Layout narrow = about::layOut(m);
    m.comments = { 20000, 195 };
    m.company = { 9000, 390 };
    const about::Layout wide = about::layOut(m);
    QCOMPARE(wide.client, narrow.client);
    // The contact block, still centred, runs past both edges by the same amount.
    QCOMPARE(wide.company.left(), -(wide.company.right() - wide.client.width()));
}

void tst_About::versionTexts_data()
{
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<QString>("text");
    QTest::newRow("1.3") << 1 << 3 << "Ver 1.03";
    QTest::newRow("1.0") << 1 << 0 << "Ver 1.00";
    QTest::newRow("10.5") << 10 << 5 << "Ver 10.05";
    QTest::newRow("1.12") << 1 << 12 << "Ver 1.12";
    QTest::newRow("three-digit minor in full") << 2 << 123 << "Ver 2.123";
}

void tst_About::versionTexts()
{
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(QString, text);
    QCOMPARE(about::versionText(major, minor), text);
}

void tst_About::windowTextsAndLayout()
{
    FakeDesktop desktop;
    QWidget main;
    QPixmap icon(32, 32);
    icon.fill(Qt::red);
    main.setWindowIcon(QIcon(icon));
    ABOUT about(desktop, &main);
    QCOMPARE(about.windowTitle(), QStringLiteral("Tallowmereについて"));
    QCOMPARE(about.Label1[0]->text(), QStringLiteral("ディスクフル状態の試験用ファイル作成ツール"));
    QCOMPARE(about.Label1[1]->text(), QStringLiteral("Tallowmere"));
    QCOMPARE(about.Label1[2]->text(), QStringLiteral("Ver 1.03"));
    QCOMPARE(about.Label1[3]->text(), QStringLiteral("Tallowmere Project\r\nE-mail:tallowmere@example.org"));
    QCOMPARE(about.Command1[0]->text(), QStringLiteral("ID Copy"));
    QCOMPARE(about.Command1[1]->text(), QStringLiteral("了解"));
    QVERIFY(about.Label1[1]->font().underline());
    QCOMPARE(about.Label1[1]->font().pointSize(), 36);
    QCOMPARE(about.font().pointSizeF(), 9.75);
    QCOMPARE(about.Label1[0]->palette().color(QPalette::WindowText), QColor(0, 0, 192));
    // The window took the main window's icon, and the picture shows it.
    QCOMPARE(about.windowIcon().pixmap(32, 32).toImage().pixel(5, 5), icon.toImage().pixel(5, 5));
    QCOMPARE(about.Picture1->pixmap().toImage().pixel(5, 5), icon.toImage().pixel(5, 5));
    // Nothing is cut off: every label holds its text, everything lies inside the client area.
    for (const QLabel* label : about.Label1) {
        const QSize needed = label->fontMetrics().size(0, label->text());
        QVERIFY(label->width() >= needed.width() && label->height() >= needed.height());
    }
    const QRect client = about.rect();
    for (const QRect& r : geometries(about).mid(1)) {
        if (r != about.Label1[0]->geometry()) {
            QVERIFY2(client.contains(r),
                     qPrintable(QStringLiteral("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height())));
        }
    }
    QCOMPARE(about.Label1[2]->geometry().bottom(), about.Label1[1]->geometry().bottom());
    QCOMPARE(about.Command1[1]->geometry().left() - about.Command1[0]->geometry().right() - 1,
             200 * about.logicalDpiX() / 1440);
    // Centred over the main window, to the pixel the halving may cost.
    QVERIFY(qAbs(about.geometry().center().x() - main.geometry().center().x()) <= 1);
}

void tst_About::openingTwiceGivesTheSameLayout()
{
    FakeDesktop desktop;
    QWidget main;
    main.setGeometry(300, 200, 500, 300);
    ABOUT first(desktop, &main);
    ABOUT second(desktop, &main);
    QCOMPARE(geometries(second), geometries(first));
}

void tst_About::idCopy_data()
{
    QTest::addColumn<int>("answer");
    QTest::newRow("No") << int(platform::AnswerNo);
    QTest::newRow("Yes") << int(platform::AnswerYes);
}

void tst_About::idCopy()
{
    QFETCH(int, answer);
    FakeDesktop desktop;
    desktop.answers = { answer };
    ABOUT about(desktop, nullptr);
    about.show();
    QTest::mouseClick(about.Command1[0], Qt::LeftButton);
    QCOMPARE(desktop.boxes.size(), 1);
    QCOMPARE(desktop.boxes[0].code, 68);
    QCOMPARE(
        desktop.boxes[0].prompt,
        QStringLiteral(
            "次の作者宛ての電子メールアドレス文字列をクリップボードにコピーします。\r\nE-mail:tallowmere@example.org"));
    if (answer == platform::AnswerNo) {
        QVERIFY(desktop.clipboard.isEmpty());
    } else {
        QCOMPARE(desktop.clipboard, QStringList { QStringLiteral("E-mail:tallowmere@example.org\r\n") });
    }
    QVERIFY(about.isVisible());
}

void tst_About::doubleClicks()
{
    FakeDesktop desktop;
    ABOUT about(desktop, nullptr);
    about.show();
    for (QLabel* label : about.Label1) {
        QTest::mouseClick(label, Qt::LeftButton);
        QTest::mouseDClick(label, Qt::LeftButton);
    }
    QCOMPARE(desktop.boxes.size(), 2);
    QCOMPARE(desktop.boxes[0].prompt, QStringLiteral("Revision=14"));
    QCOMPARE(desktop.boxes[0].code, 0);
    QCOMPARE(desktop.boxes[1].prompt, QStringLiteral("痛い。つつかないでください。"));
    QCOMPARE(desktop.boxes[1].code, 0);
}

void tst_About::enterAndEsc_data()
{
    QTest::addColumn<bool>("onIdCopy");
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("closes");
    QTest::newRow("Enter") << false << int(Qt::Key_Return) << true;
    QTest::newRow("Esc") << false << int(Qt::Key_Escape) << true;
    QTest::newRow("Enter on ID Copy") << true << int(Qt::Key_Return) << false;
    QTest::newRow("Esc on ID Copy") << true << int(Qt::Key_Escape) << true;
}

void tst_About::enterAndEsc()
{
    QFETCH(bool, onIdCopy);
    QFETCH(int, key);
    QFETCH(bool, closes);
    FakeDesktop desktop;
    desktop.answers = { platform::AnswerNo };
    ABOUT about(desktop, nullptr);
    about.show();
    QVERIFY(QTest::qWaitForWindowActive(&about));
    QCOMPARE(QApplication::focusWidget(), about.Command1[1]);
    if (onIdCopy) {
        QTest::keyClick(&about, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), about.Command1[0]);
    }
    QSignalSpy finished(&about, &QDialog::finished);
    QTest::keyClick(QApplication::focusWidget(), static_cast<Qt::Key>(key));
    QCOMPARE(finished.size(), closes ? 1 : 0);
    QCOMPARE(about.isVisible(), !closes);
    // Only ID Copy asks anything; answered No, the window stays open.
    QCOMPARE(desktop.boxes.size(), closes ? 0 : 1);
    // Focus back on OK: it is the default again.
    if (!closes) {
        QTest::keyClick(&about, Qt::Key_Tab);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QCOMPARE(finished.size(), 1);
    }
}

void tst_About::usageText()
{
    const QString text = MF::usageText();
    const QStringList lines = text.split(QStringLiteral("\r\n"));
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
            "8292e4bd9ce68890e38199e3828be38397e383ade382b0e383a9e383a0e381a7e38199e380820d0ae38387e382a3e382b9e382af"
            "e382b9e3839ae383bce382b9e3818ce8b6b3e3828ae381aae38184e5a0b4e59088e381aee38397e383ade382b0e383a9e383a0e381"
            "aee58b95e4bd9ce38292e6a49ce69fbbe38199e3828be5a0b40d0ae59088e381abe4bebfe588a9e381a7e38199efbda1200d0ae382"
            "b5"
            "e382a4e382bae38292e585a5e58a9be38197e381aae38184e3818be38081e381bee3819fe381afefbc90e3818be38081e381bee381"
            "9fe381afe38387e382a3e382b9e382afe4bba5e4b88ae381aee5a0b4e59088e381af0d0ae38387e382a3e382b9e382afe382b9e3"
            "839ae383bce382b9e38184e381a3e381b1e38184e381aee38395e382a1e382a4e383abe38292e4bd9ce68890e38197e381bee38199"
            "e380820d0ae3819fe381a0e38197e38081efbc91efbc90efbc92efbc94e38390e382a4e38388e58d98e4bd8de381a7e3819de3828c"
            "e4bba5e4b88be382b5e382a4e382bae381aee38395e382a1e382a4e383abe381afe4bd9ce68890e381a70d0ae3818de381bee3819b"
            "e38293e38082"));
}

void tst_About::helpMenu()
{
    TMPFS(volume, MiB);
    FakeDesktop desktop;
    platform::SettingsStore store(volume.filePath(QStringLiteral("settings.ini")));
    MF mf(desktop, store);
    mf.HLP[0]->trigger();
    QCOMPARE(desktop.boxes.size(), 1);
    QCOMPARE(desktop.boxes[0].prompt, MF::usageText());
    QCOMPARE(desktop.boxes[0].code, 64);

    QStringList titles;
    desktop.onModal = [&](QDialog& window) {
        titles.append(window.windowTitle());
        QVERIFY(window.parentWidget() == &mf);
    };
    mf.HLP[1]->trigger();
    mf.HLP_Click(1);
    mf.HLP_Click(2);
    QCOMPARE(desktop.modals, 2);
    QCOMPARE(titles, QStringList(2, QStringLiteral("Tallowmereについて")));
    QCOMPARE(desktop.boxes.size(), 1);
}

// Help and About opened during a run: the run waits for them, then goes on to its normal end.
void tst_About::aboutDuringARunPausesIt()
{
    TMPFS(volume, 16 * MiB);
    const QString path = volume.filePath(QStringLiteral("fill.dat"));
    FakeDesktop desktop;
    platform::SettingsStore store(volume.filePath(QStringLiteral("settings.ini")));
    MF mf(desktop, store);
    mf.Text1[0]->setText(path);
    mf.Text1[1]->setText(QStringLiteral("4"));
    mf.Option1[1]->setChecked(true);
    qint64 sizeWhileOpen = -1;
    desktop.onPass[2] = [&] { mf.HLP[1]->trigger(); };
    desktop.onPass[3] = [&] { mf.HLP[0]->trigger(); };
    desktop.onModal = [&](QDialog&) { sizeWhileOpen = fileSize(path); };
    mf.Command1_Click(2);
    QCOMPARE(desktop.modals, 1);
    QCOMPARE(sizeWhileOpen, 1024 + MiB);
    QCOMPARE(desktop.boxes.size(), 1);
    QCOMPARE(desktop.beeps, 1);
    const QString problem = checkFillFile(path, 4 * MiB);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

QTEST_MAIN(tst_About)
#include "tst_about.moc"
