// Both windows rendered at the scale this test runs with (QT_SCALE_FACTOR, set by CTest: 1 and 2),
// saved as PNG under the build folder for a person to look at, and checked for what a person would
// notice: the whole window scaled, controls apart and inside it, every caption fitting its
// control, a sharp icon.

#include "ui/aboutwindow.h"
#include "ui/mainwindow.h"
#include "ui/mainwindowlayout.h"

#include "fakedesktop.h"
#include "tmpfs.h"
#include "windowparts.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTest>

namespace {

qreal scale()
{
    return qEnvironmentVariableIsSet("QT_SCALE_FACTOR") ? qEnvironmentVariable("QT_SCALE_FACTOR").toDouble() : 1.0;
}

// The width a control's caption needs, with its decoration.
int neededWidth(QWidget* widget)
{
    const QFontMetrics metrics = widget->fontMetrics();
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        int widest = 0;
        for (const QString& line : label->text().split(u'\n')) {
            widest = std::max(widest, metrics.horizontalAdvance(line));
        }
        return widest;
    }
    if (auto* radio = qobject_cast<QRadioButton*>(widget)) {
        const QStyle* style = radio->style();
        return style->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth, nullptr, radio)
            + style->pixelMetric(QStyle::PM_RadioButtonLabelSpacing, nullptr, radio)
            + metrics.horizontalAdvance(radio->text());
    }
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
        return metrics.horizontalAdvance(QString(button->text()).remove(u'&')) + 8;
    }
    return 0;
}

// Every control inside the client area, none over another, every caption fitting.
void checkLayout(QWidget* client, const QList<QWidget*>& controls, const QList<QWidget*>& mayOverflow = {})
{
    for (qsizetype i = 0; i < controls.size(); ++i) {
        QWidget* control = controls[i];
        const QByteArray name = control->metaObject()->className() + QByteArray(" ") + control->objectName().toUtf8();
        if (!mayOverflow.contains(control)) {
            QVERIFY2(client->rect().contains(control->geometry()), name.constData());
            QVERIFY2(neededWidth(control) <= control->width(),
                     qPrintable(QStringLiteral("%1 needs %2 of %3")
                                    .arg(QString::fromUtf8(name))
                                    .arg(neededWidth(control))
                                    .arg(control->width())));
        }
        for (qsizetype j = i + 1; j < controls.size(); ++j) {
            QVERIFY2(!control->geometry().intersects(controls[j]->geometry()), name.constData());
        }
    }
}

void save(QWidget* window, const QString& name)
{
    const QString folder
        = QStringLiteral("%1/screenshots/scale-%2").arg(QCoreApplication::applicationDirPath()).arg(scale());
    QVERIFY(QDir().mkpath(folder));
    const QImage image = window->grab().toImage();
    QCOMPARE(image.devicePixelRatio(), scale());
    QCOMPARE(image.size(), window->size() * scale()); // the whole window scales, not just its text
    QVERIFY(image.save(folder + u'/' + name));
}

} // namespace

class tst_Screenshots : public QObject
{
    Q_OBJECT

private slots:
    void mainWindow();
    void aboutWindow();
};

void tst_Screenshots::mainWindow()
{
    TMPFS(volume, 8 * 1024 * 1024);
    FakeDesktop desktop;
    platform::SettingsStore store(volume.filePath(QStringLiteral("settings.ini")));
    MainWindow window(desktop, store);
    pathEdit(window)->setText(volume.filePath(QStringLiteral("fill.dat")));
    sizeEdit(window)->setText(QStringLiteral("100"));
    mbButton(window)->click();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.devicePixelRatio(), scale());

    QList<QWidget*> controls;
    for (const mainwindowlayout::Place& place : mainwindowlayout::controls) {
        controls.append(part(window, QString::fromLatin1(place.name.data(), qsizetype(place.name.size()))));
    }
    checkLayout(window.centralWidget(), controls);

    // The icon has an image drawn for this scale, not a 32-pixel one stretched.
    const QPixmap icon = window.windowIcon().pixmap(QSize(32, 32), scale());
    QCOMPARE(icon.size(), QSize(32, 32) * scale());
    QVERIFY(window.windowIcon().availableSizes().contains(QSize(32, 32) * scale()));
    save(&window, QStringLiteral("main-window.png"));
}

void tst_Screenshots::aboutWindow()
{
    FakeDesktop desktop;
    QWidget main;
    main.setWindowIcon(MainWindow::icon());
    main.setGeometry(200, 200, 441, 150);
    AboutWindow about(desktop, &main);
    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));

    QList<QWidget*> controls;
    for (const char* name :
         { "iconLabel", "commentsLabel", "productLabel", "versionLabel", "companyLabel", "idCopyButton", "okButton" }) {
        controls.append(part(about, QString::fromLatin1(name)));
    }
    // The comments line may run past the right edge when it is the widest text; here it is not.
    checkLayout(&about, controls);
    QCOMPARE(qobject_cast<QLabel*>(part(about, QStringLiteral("iconLabel")))->pixmap().devicePixelRatio(), scale());
    QCOMPARE(qobject_cast<QLabel*>(part(about, QStringLiteral("iconLabel")))->pixmap().size(), QSize(32, 32) * scale());
    save(&about, QStringLiteral("about-window.png"));
}

QTEST_MAIN(tst_Screenshots)
#include "tst_screenshots.moc"
