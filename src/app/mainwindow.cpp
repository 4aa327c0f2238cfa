#include "app/mainwindow.h"

#include "about/aboutwindow.h"
#include "app/mainwindowlayout.h"
#include "fill/backgroundrun.h"
#include "fill/numbertext.h"
#include "fill/pathparts.h"
#include "fill/sizetext.h"
#include "platform/desktop/twips.h"
#include "platform/filesystem.h"
#include "productinfo.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QIcon>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>
#include <QStringList>

#include <algorithm>
#include <limits>
#include <vector>

namespace {

// The file chooser's flags: overwrite prompt, no read-only box, path must exist, Explorer style, long names.
constexpr int fileDialogFlags = 2623494;

// How long the window waits for a run's thread before it pumps its own events.
constexpr std::chrono::milliseconds idlePassInterval(10);

} // namespace

MainWindow::MainWindow(platform::Desktop& desktop, platform::SettingsStore& settings, QWidget* parent)
    : QMainWindow(parent)
    , m_desktop(desktop)
    , m_settings(settings)
    , m_outputFiles(&platform::makeOutputFile)
{
    setWindowTitle(QStringLiteral("Tallowmere"));
    setWindowIcon(icon());
    // Fixed single border: minimise and close, no maximise.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    createMenus();
    createControls();

    connectButton(m_browseButton, [this] { browse(); });
    connectButton(m_deleteButton, [this] { deleteFillFile(); });
    connectButton(m_startButton, [this] { startFill(); });
    connectButton(m_stopButton, [this] { stopFill(); });
    connectButton(m_exitButton, [this] { close(); });
    connect(m_changeOutputAction, &QAction::triggered, this, &MainWindow::browse);
    connect(m_exitAction, &QAction::triggered, this, &MainWindow::close);
    connect(m_usageAction, &QAction::triggered, this, &MainWindow::showUsage);
    connect(m_aboutAction, &QAction::triggered, this, &MainWindow::showAbout);

    // The free space follows the path as it is typed, and the unit as it is chosen: by click, key
    // or program, also by a click on the unit already chosen, which changes nothing else.
    connect(m_pathEdit, &QLineEdit::textChanged, this, [this] { updateFreeSpace(false); });
    for (QRadioButton* unit : { m_kbButton, m_mbButton }) {
        connect(unit, &QRadioButton::toggled, this, [this](bool checked) {
            if (checked) {
                updateFreeSpace(true);
            }
        });
        connect(unit, &QRadioButton::pressed, this, [this, unit] { m_unitWasChecked = unit->isChecked(); });
        connect(unit, &QRadioButton::clicked, this, [this] {
            if (m_unitWasChecked) {
                updateFreeSpace(true);
            }
            m_unitWasChecked = false;
        });
    }

    readSettings();
}

MainWindow::~MainWindow() = default;

void MainWindow::createMenus()
{
    m_fileMenu = menuBar()->addMenu(QStringLiteral("File(&F)"));
    m_changeOutputAction = m_fileMenu->addAction(QStringLiteral("出力ﾌｧｲﾙ変更(&O)..."));
    m_exitAction = m_fileMenu->addAction(QStringLiteral("終了(&E)"));
    m_helpMenu = menuBar()->addMenu(QStringLiteral("ﾍﾙﾌﾟ(&H)"));
    m_usageAction = m_helpMenu->addAction(QStringLiteral("ﾍﾙﾌﾟ(&H)"));
    m_aboutAction
        = m_helpMenu->addAction(QString::fromUtf8(ProductInfo::productName) + QStringLiteral("について(&A)..."));
    m_fileMenu->setObjectName(QStringLiteral("fileMenu"));
    m_changeOutputAction->setObjectName(QStringLiteral("changeOutputAction"));
    m_exitAction->setObjectName(QStringLiteral("exitAction"));
    m_helpMenu->setObjectName(QStringLiteral("helpMenu"));
    m_usageAction->setObjectName(QStringLiteral("usageAction"));
    m_aboutAction->setObjectName(QStringLiteral("aboutAction"));
}

void MainWindow::createControls()
{
    auto* client = new QWidget(this);
    setCentralWidget(client);
    const double dpiX = client->logicalDpiX();
    const double dpiY = client->logicalDpiY();
    client->setFixedSize(twips::toPixels(mainwindowlayout::clientWidth, dpiX),
                         twips::toPixels(mainwindowlayout::clientHeight, dpiY));

    auto label = [client](const QString& caption) {
        auto* l = new QLabel(caption, client);
        l->setTextFormat(Qt::PlainText);
        return l;
    };
    auto lineEdit = [client] {
        auto* edit = new QLineEdit(client);
        edit->setMaxLength(std::numeric_limits<int>::max());
        return edit;
    };
    auto button = [client](const QString& caption) {
        auto* b = new QPushButton(caption, client);
        // No button is the window's default: Enter in a text box does nothing, while a button with
        // the focus is pressed by Enter as well as by Space.
        b->setAutoDefault(true);
        b->setDefault(false);
        return b;
    };
    m_pathCaption = label(QStringLiteral("出力ﾌｧｲﾙ"));
    m_browseButton = button(QStringLiteral("参照..."));
    m_positionLabel = label(QString());
    m_pathEdit = lineEdit();
    m_sizeCaption = label(QStringLiteral("ｻｲｽﾞ"));
    m_sizeEdit = lineEdit();
    m_kbButton = new QRadioButton(QStringLiteral("KB"), client);
    m_mbButton = new QRadioButton(QStringLiteral("MB"), client);
    m_freeSpaceCaption = label(QStringLiteral("FreeSpace"));
    m_freeSpaceLabel = label(QString());
    m_startButton = button(QStringLiteral("開始(&S)"));
    m_exitButton = button(QStringLiteral("終了(&E)"));
    m_stopButton = button(QStringLiteral("中止(&P)"));
    m_deleteButton = button(QStringLiteral("削除(&D)"));
    m_stopButton->setEnabled(false);

    const std::pair<const char*, QWidget*> named[] = {
        { "pathCaption", m_pathCaption },
        { "browseButton", m_browseButton },
        { "positionLabel", m_positionLabel },
        { "pathEdit", m_pathEdit },
        { "sizeCaption", m_sizeCaption },
        { "sizeEdit", m_sizeEdit },
        { "kbButton", m_kbButton },
        { "mbButton", m_mbButton },
        { "freeSpaceCaption", m_freeSpaceCaption },
        { "freeSpaceLabel", m_freeSpaceLabel },
        { "startButton", m_startButton },
        { "exitButton", m_exitButton },
        { "stopButton", m_stopButton },
        { "deleteButton", m_deleteButton },
    };
    for (const auto& [name, widget] : named) {
        widget->setObjectName(QLatin1String(name));
    }

    std::vector<std::pair<int, QWidget*>> tabOrder;
    for (const mainwindowlayout::Place& place : mainwindowlayout::controls) {
        auto* widget = client->findChild<QWidget*>(QLatin1String(place.name.data(), qsizetype(place.name.size())));
        Q_ASSERT(widget);
        widget->setGeometry(twips::toPixels(place.left, dpiX), twips::toPixels(place.top, dpiY),
                            twips::toPixels(place.width, dpiX), twips::toPixels(place.height, dpiY));
        tabOrder.emplace_back(place.tabIndex, widget);
    }
    // Labels keep their places in the tab order but never take the focus.
    std::sort(tabOrder.begin(), tabOrder.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    QWidget* previous = nullptr;
    for (const auto& [index, widget] : tabOrder) {
        if (widget->focusPolicy() == Qt::NoFocus) {
            continue;
        }
        if (previous) {
            setTabOrder(previous, widget);
        }
        previous = widget;
    }

    layout()->setSizeConstraint(QLayout::SetFixedSize);
    move(twips::toPixels(mainwindowlayout::clientLeft, dpiX), twips::toPixels(mainwindowlayout::clientTop, dpiY));
    m_browseButton->setFocus();
}

void MainWindow::connectButton(QPushButton* button, const std::function<void()>& action)
{
    connect(button, &QPushButton::clicked, this, [this, button, action] {
        // A shortcut (Alt+letter) presses its button some 100 ms after the key. By then the button
        // may be disabled by a run, or another button's question may be open: such a late press is
        // dropped, so a disabled Delete or Exit never acts during a run, and no command starts under
        // another's message box. Stop is what a run waits for.
        if (!button->isEnabled() || QApplication::activeModalWidget()
            || (m_commandsRunning > 0 && button != m_stopButton)) {
            return;
        }
        ++m_commandsRunning;
        const auto done = qScopeGuard([this] { --m_commandsRunning; });
        action();
    });
}

QIcon MainWindow::icon()
{
    QIcon icon;
    icon.addFile(QStringLiteral(":/tallowmere.png"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/tallowmere-64.png"), QSize(64, 64));
    return icon;
}

// --- settings and closing ------------------------------------------------------------------------

void MainWindow::readSettings()
{
    if (const QString error = m_settings.readError(); !error.isEmpty()) {
        m_desktop.msgBox(QStringLiteral("設定を読み込めません。\r\n") + error, platform::MbCritical);
    }
    m_pathEdit->setText(m_settings.read(QStringLiteral("OUTFILE"), QString()));
    m_sizeEdit->setText(m_settings.read(QStringLiteral("SIZE"), QString()));
    // Anything but "1" (an edit from outside the program) falls back to KB. The unit is chosen
    // last, so the window opens with the free space of the restored path in the restored unit.
    const bool megabytes = m_settings.read(QStringLiteral("SIZESCALE"), QStringLiteral("0")) == QLatin1String("1");
    (megabytes ? m_mbButton : m_kbButton)->setChecked(true);
}

void MainWindow::writeSettings()
{
    const QString unit = m_kbButton->isChecked() ? QStringLiteral("0") : QStringLiteral("1");
    const QString error = m_settings.write({
        { QStringLiteral("OUTFILE"), m_pathEdit->text() },
        { QStringLiteral("SIZE"), m_sizeEdit->text() },
        { QStringLiteral("SIZESCALE"), unit },
    });
    if (!error.isEmpty()) {
        m_desktop.msgBox(QStringLiteral("設定を保存できません。\r\n") + error, platform::MbCritical);
    }
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // Nothing is asked and nothing is cancelled. A run in progress ends before its next block; the
    // window goes at once, and the program ends once the run has closed the file, which it keeps.
    if (m_run) {
        m_run->requestStop();
    }
    writeSettings();
    event->accept();
}

// --- the buttons ---------------------------------------------------------------------------------

void MainWindow::setRunning(bool running)
{
    QWidget* const focused = focusWidget();
    m_browseButton->setEnabled(!running);
    m_deleteButton->setEnabled(!running);
    m_startButton->setEnabled(!running);
    m_stopButton->setEnabled(running);
    m_exitButton->setEnabled(!running);
    // A button with the focus that was just disabled would hand it on down the tab order, to the
    // path box with its text selected, where a stray key replaces the path. The focus goes to Stop
    // for the run, and back to Start after it (also from a Stop that gave it up while the file closed).
    const QWidget* buttons[] = { m_browseButton, m_deleteButton, m_startButton, m_stopButton, m_exitButton };
    const bool fromAButton = std::find(std::begin(buttons), std::end(buttons), focused) != std::end(buttons);
    if ((focused && !focused->isEnabled() && fromAButton) || (!running && m_stopGaveUpFocus)) {
        (running ? m_stopButton : m_startButton)->setFocus();
    }
    m_stopGaveUpFocus = false;
}

void MainWindow::startFill()
{
    const bool exists = platform::fileExists(m_pathEdit->text());
    if (exists
        && m_desktop.msgBox(QStringLiteral("ファイルは既に存在しています。上書きしていいですか。"),
                            platform::MbYesNo | platform::MbExclamation)
            == platform::AnswerNo) {
        return;
    }
    setRunning(true);
    writeSettings();
    runFill(exists ? platform::Existing::Replace : platform::Existing::Refuse);
    m_desktop.beep();
    setRunning(false);
}

void MainWindow::stopFill()
{
    if (!m_run) {
        return;
    }
    m_run->requestStop();
    // The run ends before its next block, whatever the disk is doing: Stop's part is done.
    if (m_stopButton->isEnabled()) {
        acknowledgeStop();
    }
}

void MainWindow::acknowledgeStop()
{
    // While the file closes Stop has nothing left to do. It lets go of the focus first, which would
    // otherwise pass down the tab order to the path box.
    if (m_stopButton->hasFocus()) {
        m_stopButton->clearFocus();
        m_stopGaveUpFocus = true;
    }
    m_stopButton->setEnabled(false);
}

void MainWindow::deleteFillFile()
{
    const QString path = m_pathEdit->text();
    if (path.isEmpty()) {
        m_desktop.beep();
        return;
    }
    if (m_desktop.msgBox(path + QStringLiteral("を本当に削除していいですか。"),
                         platform::MbYesNo | platform::MbExclamation)
        == platform::AnswerNo) {
        return;
    }
    if (!platform::fileExists(path)) {
        return;
    }
    if (const auto error = platform::removeFile(path)) {
        m_desktop.msgBox(path + QStringLiteral("\r\nファイルを削除できません。\r\n") + platform::errorText(error),
                         platform::MbCritical);
        return;
    }
    // The space just freed shows at once; the position of a file that is gone is no longer shown.
    updateFreeSpace(true);
    m_positionLabel->clear();
}

void MainWindow::browse()
{
    const QString folder
        = QDir::toNativeSeparators(QDir::cleanPath(QDir::fromNativeSeparators(fill::dialogFolder(m_pathEdit->text()))));
    const auto picked = m_desktop.openFileDialog(folder, m_pickedFile, fileDialogFlags);
    // A cancel leaves the path as the user typed it.
    if (!picked) {
        return;
    }
    m_pickedFile = *picked;
    m_pathEdit->setText(*picked);
}

// --- the help menu -------------------------------------------------------------------------------

QString MainWindow::usageText()
{
    return QStringList {
        QStringLiteral("指定ドライブに指定サイズのファイルを作成するプログラムです。"),
        QStringLiteral("ディスクスペースが足りない場合のプログラムの動作を検査する場"),
        QStringLiteral("合に便利です｡ "),
        QStringLiteral("サイズを入力しないか、または０か、またはディスク以上の場合は"),
        QStringLiteral("ディスクスペースいっぱいのファイルを作成します。"),
        QStringLiteral("ただし、１０２４バイト単位でそれ以下サイズのファイルは作成で"),
        QStringLiteral("きません。"),
    }
        .join(QStringLiteral("\r\n"));
}

void MainWindow::showUsage()
{
    m_desktop.msgBox(usageText(), platform::MbInformation);
}

void MainWindow::showAbout()
{
    // Built afresh at every opening; a run in progress waits until it closes.
    AboutWindow about(m_desktop, this);
    m_desktop.showModal(about);
}

// --- the fill ------------------------------------------------------------------------------------

void MainWindow::runFill(platform::Existing existing)
{
    const QString path = m_pathEdit->text();
    if (path.isEmpty()) {
        m_desktop.msgBox(QStringLiteral("作成するファイルを入力してください"), platform::MbCritical);
        return;
    }
    const QString sizeText = m_sizeEdit->text();
    const auto target = fill::targetBytes(sizeText, m_kbButton->isChecked() ? fill::kilobyte : fill::megabyte);
    if (!target) {
        m_desktop.msgBox(QStringLiteral("サイズが大きすぎます。\r\n") + sizeText, platform::MbCritical);
        return;
    }

    // The free space is asked on the run's thread: on a stalled volume the query waits too.
    const auto landing = fill::landingFolder(path);
    auto freeSpace
        = [this, landing]() -> qint64 { return landing ? m_desktop.diskFree(landing->drive, landing->folder) : 0; };
    const auto file = m_outputFiles();
    fill::BackgroundRun run(*file,
                            { .path = path,
                              .target = *target,
                              .existing = existing,
                              .freeSpace = freeSpace,
                              .progressInterval = std::chrono::milliseconds(m_progressInterval) });
    m_run = &run;
    const auto noRun = qScopeGuard([this] { m_run = nullptr; });
    // The window's thread only pumps: one pass at every pass point of the run, and passes of its own
    // between them while the run writes, flushes or closes.
    for (;;) {
        const auto wake = run.wait(idlePassInterval);
        if (wake == fill::BackgroundRun::Wake::Finished) {
            break;
        }
        if (wake == fill::BackgroundRun::Wake::Pass) {
            m_desktop.doEvents();
        } else if (wake == fill::BackgroundRun::Wake::Idle) {
            m_desktop.idlePass();
        }
        if (const auto progress = run.takeProgress()) {
            showProgress(progress->position, progress->freeBytes);
        }
        if (wake == fill::BackgroundRun::Wake::Pass) {
            run.passDone();
        }
    }

    const fill::Result result = run.result();
    // However the run ended, show the free space it left behind, and where a run that wrote ended.
    if (result.outcome == fill::Outcome::CreateFailed || result.outcome == fill::Outcome::HeaderFailed) {
        showFreeSpace(freeSpaceText(true, run.freeBytesAfter()));
    } else {
        showProgress(result.bytesWritten + 1, run.freeBytesAfter());
    }

    switch (result.outcome) {
    case fill::Outcome::CreateFailed:
    case fill::Outcome::HeaderFailed:
        m_desktop.msgBox(path + QStringLiteral("\r\nファイルを作成できません。\r\n")
                             + platform::errorText(result.error),
                         platform::MbCritical);
        break;
    case fill::Outcome::WriteFailed:
        m_desktop.msgBox(path + QStringLiteral("\r\n書き込みが途中で終了しました。\r\n")
                             + platform::errorText(result.error),
                         platform::MbCritical);
        break;
    case fill::Outcome::TargetReached:
    case fill::Outcome::Stopped:
    case fill::Outcome::DiskFull:
        break;
    }
}

// --- the free-space display ----------------------------------------------------------------------

qint64 MainWindow::freeSpace()
{
    // Through a symbolic link the data lands on the volume of the file it points to.
    const auto landing = fill::landingFolder(m_pathEdit->text());
    return landing ? m_desktop.diskFree(landing->drive, landing->folder) : 0;
}

QString MainWindow::freeSpaceText(bool withUnit, qint64 freeBytes) const
{
    const bool kilobytes = m_kbButton->isChecked();
    QString text = fill::numberText(static_cast<double>(freeBytes)
                                    / static_cast<double>(kilobytes ? fill::kilobyte : fill::megabyte));
    if (withUnit) {
        text += kilobytes ? QStringLiteral(" KB") : QStringLiteral(" MB");
    }
    return text;
}

void MainWindow::showFreeSpace(const QString& text)
{
    // The label sizes itself to its text and grows to the right of its fixed left edge.
    m_freeSpaceLabel->setText(text);
    m_freeSpaceLabel->adjustSize();
}

void MainWindow::updateFreeSpace(bool withUnit)
{
    showFreeSpace(freeSpaceText(withUnit, freeSpace()));
}

void MainWindow::showProgress(qint64 position, qint64 freeBytes)
{
    showFreeSpace(freeSpaceText(true, freeBytes));
    m_positionLabel->setText(QString::number(position, 16).toUpper());
    // Past 16 MiB the number outgrows its place: the label grows to the right rather than lose digits.
    const int needed = m_positionLabel->sizeHint().width();
    if (needed > m_positionLabel->width()) {
        m_positionLabel->resize(needed, m_positionLabel->height());
    }
}
