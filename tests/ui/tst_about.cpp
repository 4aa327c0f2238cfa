#include "ui/aboutlayout.h"
#include "ui/aboutwindow.h"
#include "ui/placement.h"

#include "fakedesktop.h"
#include "windowparts.h"

#include <QAction>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

namespace {

// Comments, product, version, company and contact: the labels as the window lays them out.
std::array<QLabel*, 4> labels(const AboutWindow& about)
{
    return { qobject_cast<QLabel*>(part(about, QStringLiteral("commentsLabel"))),
             qobject_cast<QLabel*>(part(about, QStringLiteral("productLabel"))),
             qobject_cast<QLabel*>(part(about, QStringLiteral("versionLabel"))),
             qobject_cast<QLabel*>(part(about, QStringLiteral("companyLabel"))) };
}

// ID Copy and OK.
std::array<QPushButton*, 2> buttonsOf(const AboutWindow& about)
{
    return { qobject_cast<QPushButton*>(part(about, QStringLiteral("idCopyButton"))),
             qobject_cast<QPushButton*>(part(about, QStringLiteral("okButton"))) };
}

QLabel* iconLabel(const AboutWindow& about)
{
    return qobject_cast<QLabel*>(part(about, QStringLiteral("iconLabel")));
}

QList<QRect> geometries(const AboutWindow& about)
{
    QList<QRect> all { about.geometry(), iconLabel(about)->geometry() };
    for (const QLabel* label : labels(about)) {
        all.append(label->geometry());
    }
    for (const QPushButton* button : buttonsOf(about)) {
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

    void placement_data();
    void placement();
    void centerOverPlacesAndTakesTheIcon();
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
    AboutWindow about(desktop, &main);
    QCOMPARE(about.windowTitle(), QStringLiteral("Tallowmereについて"));
    QCOMPARE(labels(about)[0]->text(), QStringLiteral("ディスクフル状態の試験用ファイル作成ツール"));
    QCOMPARE(labels(about)[1]->text(), QStringLiteral("Tallowmere"));
    QCOMPARE(labels(about)[2]->text(), QStringLiteral("Ver 1.03"));
    QCOMPARE(labels(about)[3]->text(), QStringLiteral("Tallowmere Project\nE-mail:tallowmere@example.org"));
    QCOMPARE(buttonsOf(about)[0]->text(), QStringLiteral("ID Copy"));
    QCOMPARE(buttonsOf(about)[1]->text(), QStringLiteral("了解"));
    QVERIFY(labels(about)[1]->font().underline());
    QCOMPARE(labels(about)[1]->font().pointSize(), 36);
    QCOMPARE(about.font().pointSizeF(), 9.75);
    QCOMPARE(labels(about)[0]->palette().color(QPalette::WindowText), QColor(0, 0, 192));
    // The window took the main window's icon, and the picture shows it.
    QCOMPARE(about.windowIcon().pixmap(32, 32).toImage().pixel(5, 5), icon.toImage().pixel(5, 5));
    QCOMPARE(iconLabel(about)->pixmap().toImage().pixel(5, 5), icon.toImage().pixel(5, 5));
    // Nothing is cut off: every label holds its text, everything lies inside the client area.
    for (const QLabel* label : labels(about)) {
        const QSize needed = label->fontMetrics().size(0, label->text());
        QVERIFY(label->width() >= needed.width() && label->height() >= needed.height());
    }
    const QRect client = about.rect();
    for (const QRect& r : geometries(about).mid(1)) {
        if (r != labels(about)[0]->geometry()) {
            QVERIFY2(client.contains(r),
                     qPrintable(QStringLiteral("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height())));
        }
    }
    QCOMPARE(labels(about)[2]->geometry().bottom(), labels(about)[1]->geometry().bottom());
    QCOMPARE(buttonsOf(about)[1]->geometry().left() - buttonsOf(about)[0]->geometry().right() - 1,
             200 * about.logicalDpiX() / 1440);
    // Centred over the main window, to the pixel the halving may cost.
    QVERIFY(qAbs(about.geometry().center().x() - main.geometry().center().x()) <= 1);
}

void tst_About::openingTwiceGivesTheSameLayout()
{
    FakeDesktop desktop;
    QWidget main;
    main.setGeometry(300, 200, 500, 300);
    AboutWindow first(desktop, &main);
    AboutWindow second(desktop, &main);
    QCOMPARE(geometries(second), geometries(first));
}

void tst_About::idCopy_data()
{
    QTest::addColumn<bool>("yes");
    QTest::newRow("No") << false;
    QTest::newRow("Yes") << true;
}

void tst_About::idCopy()
{
    QFETCH(bool, yes);
    FakeDesktop desktop;
    desktop.answers = { yes };
    AboutWindow about(desktop, nullptr);
    about.show();
    QTest::mouseClick(buttonsOf(about)[0], Qt::LeftButton);
    QCOMPARE(desktop.boxes.size(), 1);
    QCOMPARE(desktop.boxes[0].icon, platform::Desktop::Icon::Information);
    QVERIFY(desktop.boxes[0].question);
    QCOMPARE(
        desktop.boxes[0].text,
        QStringLiteral(
            "次の作者宛ての電子メールアドレス文字列をクリップボードにコピーします。\nE-mail:tallowmere@example.org"));
    if (!yes) {
        QVERIFY(desktop.clipboard.isEmpty());
    } else {
        QCOMPARE(desktop.clipboard, QStringList { QStringLiteral("E-mail:tallowmere@example.org\r\n") });
    }
    QVERIFY(about.isVisible());
}

void tst_About::doubleClicks()
{
    FakeDesktop desktop;
    AboutWindow about(desktop, nullptr);
    about.show();
    for (QLabel* label : labels(about)) {
        QTest::mouseClick(label, Qt::LeftButton);
        QTest::mouseDClick(label, Qt::LeftButton);
    }
    QCOMPARE(desktop.boxes.size(), 2);
    QCOMPARE(desktop.boxes[0].text, QStringLiteral("Revision=14"));
    QCOMPARE(desktop.boxes[1].text, QStringLiteral("痛い。つつかないでください。"));
    for (const FakeDesktop::Box& box : desktop.boxes) {
        QCOMPARE(box.icon, platform::Desktop::Icon::None);
        QVERIFY(!box.question);
    }
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
    desktop.answers = { false };
    AboutWindow about(desktop, nullptr);
    about.show();
    QVERIFY(QTest::qWaitForWindowActive(&about));
    QCOMPARE(QApplication::focusWidget(), buttonsOf(about)[1]);
    if (onIdCopy) {
        QTest::keyClick(&about, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), buttonsOf(about)[0]);
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

void tst_About::placement_data()
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

void tst_About::placement()
{
    QFETCH(double, mainLeft);
    QFETCH(double, width);
    QFETCH(double, left);
    QFETCH(double, top);
    const about::Placement place = about::centredPlacement(mainLeft, 800, 6800, 3000, width, 2500, 15360, 11520);
    QCOMPARE(place.left, left);
    QCOMPARE(place.top, top);
}

void tst_About::centerOverPlacesAndTakesTheIcon()
{
    QWidget main;
    QPixmap icon(32, 32);
    icon.fill(Qt::blue);
    main.setWindowIcon(QIcon(icon));
    main.setGeometry(100, 100, 600, 400);
    QWidget window(&main, Qt::Dialog);
    window.resize(200, 100);
    about::centerOver(&window);
    QVERIFY(!window.windowIcon().isNull());
    const QPoint screenTopLeft = main.screen()->geometry().topLeft();
    // Without frames (offscreen) the outer and inner sizes agree: plain centring.
    QCOMPARE(window.pos() - screenTopLeft, main.frameGeometry().topLeft() - screenTopLeft + QPoint(200, 150));
}

QTEST_MAIN(tst_About)
#include "tst_about.moc"
