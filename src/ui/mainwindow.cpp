#include "ui/mainwindow.h"

#include "core/backgroundrun.h"
#include "core/numbertext.h"
#include "core/pathparts.h"
#include "core/sizetext.h"
#include "platform/filesystem.h"
#include "productinfo.h"
#include "ui/aboutwindow.h"
#include "ui/mainwindowlayout.h"
#include "ui/settingsproblemtext.h"
#include "ui/twips.h"

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
#include <QStringList>

#include <algorithm>
#include <array>
#include <chrono>
#include <limits>
#include <vector>

namespace {

using Icon = platform::Desktop::Icon;

// A free-space request for the display goes out at once unless another is out. Then it waits, the
// newest in place of older ones, until that one answers or has gone this long without an answer:
// a volume that does not answer holds its own requests, not those for another path.
constexpr std::chrono::milliseconds unansweredRequest(200);
constexpr int maximumRequestsOut = 16;

QString cannotCreate(const QString& path, const std::error_code& error)
{
    return path + QStringLiteral("\nファイルを作成できません。\n") + platform::errorText(error);
}

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
    m_freeSpaceRetry.setSingleShot(true);
    connect(&m_freeSpaceRetry, &QTimer::timeout, this, &MainWindow::sendFreeSpaceRequest);

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
        // may be disabled by a run, or a question may be open: such a late press is dropped, so a
        // disabled Delete or Exit never acts during a run, and no command starts under a message box.
        if (!button->isEnabled() || QApplication::activeModalWidget() || m_state == State::Asking) {
            return;
        }
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
    if (const auto problem = m_settings.readError()) {
        m_desktop.tell(QStringLiteral("設定を読み込めません。\n") + ui::settingsProblemText(problem), Icon::Critical);
    }
    m_pathEdit->setText(m_settings.read(QStringLiteral("OUTFILE"), QString()));
    m_sizeEdit->setText(m_settings.read(QStringLiteral("SIZE"), QString()));
    // Anything but "1" (an edit from outside the program) falls back to KB. The unit is chosen
    // last, so the window opens with the free space of the restored path in the restored unit.
    const bool megabytes = m_settings.read(QStringLiteral("SIZESCALE"), QStringLiteral("0")) == QLatin1String("1");
    (megabytes ? m_mbButton : m_kbButton)->setChecked(true);
}

MainWindow::FillRequest MainWindow::currentRequest() const
{
    return { m_pathEdit->text(), m_sizeEdit->text(), m_kbButton->isChecked() };
}

void MainWindow::writeSettings()
{
    writeSettings(currentRequest());
}

void MainWindow::writeSettings(const FillRequest& request)
{
    const auto problem = m_settings.write({
        { QStringLiteral("OUTFILE"), request.path },
        { QStringLiteral("SIZE"), request.sizeText },
        { QStringLiteral("SIZESCALE"), request.kilobytes ? QStringLiteral("0") : QStringLiteral("1") },
    });
    if (problem) {
        m_desktop.tell(QStringLiteral("設定を保存できません。\n") + ui::settingsProblemText(problem), Icon::Critical);
    }
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // Nothing is asked and nothing is cancelled. A Start still checking is called off; a run in
    // progress ends before its next block. The window goes at once, and the program ends once the
    // run has closed the file, which it keeps.
    if (m_state == State::Checking) {
        ++m_start;
        setState(State::Idle);
        emit fillFinished();
    }
    if (m_run) {
        m_run->requestStop();
        acknowledgeStop();
    }
    writeSettings();
    event->accept();
    m_closed = true;
    if (!m_run) {
        emit closed(m_exitCode);
    }
}

void MainWindow::showEvent(QShowEvent* event)
{
    m_closed = false;
    QMainWindow::showEvent(event);
}

// --- the buttons ---------------------------------------------------------------------------------

void MainWindow::setState(State state)
{
    m_state = state;
    const bool idle = state == State::Idle || state == State::Asking;
    const bool running = state == State::Checking || state == State::Running;
    enableButtons(idle || state == State::Deleting, idle, idle, running, !running);
}

void MainWindow::enableButtons(bool browse, bool del, bool start, bool stop, bool exit)
{
    const std::array<QPushButton*, 5> buttons { m_browseButton, m_deleteButton, m_startButton, m_stopButton,
                                                m_exitButton };
    const std::array<bool, 5> enabled { browse, del, start, stop, exit };
    const auto isButton = [&buttons](QWidget* widget) {
        return widget && std::find(buttons.begin(), buttons.end(), widget) != buttons.end();
    };
    // A button with the focus that is disabled hands it on down the tab order, to the path box with
    // its text selected, where a stray key replaces the path. The focus goes to Stop (or Browse)
    // instead, or nowhere, and back to the button it left once the window is idle: to Start, for
    // one that went through Stop.
    QWidget* const focused = focusWidget();
    const auto at = std::find(buttons.begin(), buttons.end(), focused);
    const bool losing = at != buttons.end() && !enabled[static_cast<size_t>(at - buttons.begin())];
    QPushButton* next = stop ? m_stopButton : browse ? m_browseButton : nullptr;
    if (losing) {
        if (!m_focusBack) {
            m_focusBack = focused == m_stopButton ? m_startButton : *at;
        }
        if (!next) {
            focused->clearFocus();
        }
    }
    for (size_t i = 0; i < buttons.size(); ++i) {
        buttons[i]->setEnabled(enabled[i]);
    }
    if (losing && next) {
        next->setFocus();
    }
    if (m_state == State::Idle && m_focusBack) {
        if (!focusWidget() || isButton(focusWidget())) {
            m_focusBack->setFocus();
        }
        m_focusBack = nullptr;
    }
}

void MainWindow::startFill()
{
    if (m_state != State::Idle) {
        return;
    }
    // Whether the file exists is asked off the window's thread: on a volume that does not answer,
    // the window shows the running state at once, and Stop calls the Start off before anything is
    // made. The run uses what the window held now, whatever is typed meanwhile.
    const FillRequest request = currentRequest();
    setState(State::Checking);
    const quint64 start = ++m_start;
    m_calls.run<bool>([path = request.path] { return platform::encodesFaithfully(path) && platform::fileExists(path); },
                      [this, start, request](bool exists) { startChecked(start, request, exists); });
}

void MainWindow::startChecked(quint64 start, const FillRequest& request, bool exists)
{
    if (start != m_start || m_state != State::Checking) {
        return; // called off
    }
    // The question comes before the running state, as it did before there was a check to wait for.
    if (exists) {
        setState(State::Asking);
        if (!m_desktop.ask(QStringLiteral("ファイルは既に存在しています。上書きしていいですか。"), Icon::Warning)) {
            setState(State::Idle);
            emit fillFinished();
            return;
        }
    }
    setState(State::Running);
    writeSettings(request);
    runFill(request, exists ? platform::Existing::Replace : platform::Existing::Refuse);
}

void MainWindow::stopFill()
{
    if (m_state == State::Checking) {
        ++m_start;
        finishFill();
        return;
    }
    if (!m_run) {
        return;
    }
    m_run->requestStop();
    // The run ends before its next block, whatever the disk is doing: Stop's part is done.
    acknowledgeStop();
}

void MainWindow::acknowledgeStop()
{
    // While the file closes Stop has nothing left to do.
    enableButtons(false, false, false, false, false);
}

void MainWindow::deleteFillFile()
{
    if (m_state != State::Idle) {
        return;
    }
    const QString path = m_pathEdit->text();
    if (path.isEmpty()) {
        m_desktop.beep();
        emit deleteFinished();
        return;
    }
    setState(State::Asking);
    if (!m_desktop.ask(path + QStringLiteral("を本当に削除していいですか。"), Icon::Warning)) {
        setState(State::Idle);
        emit deleteFinished();
        return;
    }
    // Start and Delete wait for the remove; nothing else does.
    setState(State::Deleting);
    m_calls.run<std::optional<std::error_code>>(
        [path]() -> std::optional<std::error_code> {
            if (!platform::encodesFaithfully(path)) {
                return std::make_error_code(std::errc::illegal_byte_sequence);
            }
            if (!platform::fileExists(path)) {
                return std::nullopt;
            }
            return platform::removeFile(path);
        },
        [this, path](const std::optional<std::error_code>& outcome) { fileDeleted(path, outcome); });
}

void MainWindow::fileDeleted(const QString& path, const std::optional<std::error_code>& outcome)
{
    setState(State::Idle);
    if (m_closed) {
        return;
    }
    if (outcome && *outcome) {
        m_desktop.tell(path + QStringLiteral("\nファイルを削除できません。\n") + platform::errorText(*outcome),
                       Icon::Critical);
    } else if (outcome) {
        // The space just freed shows; the position of a file that is gone is no longer shown.
        updateFreeSpace(true);
        m_positionLabel->clear();
    }
    emit deleteFinished();
}

void MainWindow::browse()
{
    const QString folder
        = QDir::toNativeSeparators(QDir::cleanPath(QDir::fromNativeSeparators(fill::dialogFolder(m_pathEdit->text()))));
    // The file dialog reads its folders on this thread as it opens: it opens once they have answered
    // on a thread of their own, so a volume that does not answer holds the dialog back, not the window.
    // A newer Browse takes its place.
    const quint64 browse = ++m_browse;
    m_calls.run<bool>(
        [folders = m_desktop.fileDialogFolders(folder)] {
            for (const QString& place : folders) {
                QDir(place).exists();
            }
            return true;
        },
        [this, browse, folder](bool) {
            if (browse == m_browse && !m_closed) {
                chooseOutputFile(folder);
            }
        });
}

void MainWindow::chooseOutputFile(const QString& folder)
{
    const auto picked = m_desktop.chooseFile(folder, m_pickedFile, true);
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
        .join(QLatin1Char('\n'));
}

void MainWindow::showUsage()
{
    m_desktop.tell(usageText(), Icon::Information);
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
    if (m_state == State::Idle) {
        runFill(currentRequest(), existing);
    }
}

void MainWindow::runFill(const FillRequest& request, platform::Existing existing)
{
    setState(State::Running);
    const QString& path = request.path;
    if (path.isEmpty()) {
        m_desktop.tell(QStringLiteral("作成するファイルを入力してください"), Icon::Critical);
        finishFill();
        return;
    }
    const auto target = fill::targetBytes(request.sizeText, request.kilobytes ? fill::kilobyte : fill::megabyte);
    if (!target) {
        m_desktop.tell(QStringLiteral("サイズが大きすぎます。\n") + request.sizeText, Icon::Critical);
        finishFill();
        return;
    }
    // A name read from bytes that were no text would be made under another name, one nobody typed.
    if (!platform::encodesFaithfully(path)) {
        m_desktop.tell(cannotCreate(path, std::make_error_code(std::errc::illegal_byte_sequence)), Icon::Critical);
        finishFill();
        return;
    }

    fill::BackgroundRun::Job job;
    job.path = path;
    job.target = *target;
    job.existing = existing;
    // Asked on the run's thread: on a stalled volume the query waits too.
    job.freeSpace = [query = m_desktop.freeSpaceQuery(), path] { return freeSpace(query, path); };
    job.progressInterval = std::chrono::milliseconds(m_progressInterval);
    m_run = std::make_unique<fill::BackgroundRun>(m_outputFiles(), std::move(job), m_desktop.modalPause());
    connect(m_run.get(), &fill::BackgroundRun::progress, this, &MainWindow::showProgress);
    connect(m_run.get(), &QThread::finished, this, &MainWindow::runEnded);
    m_run->start();
}

void MainWindow::runEnded()
{
    // The thread has done its work: this waits no longer than it takes to return.
    const std::unique_ptr<fill::BackgroundRun> run = std::move(m_run);
    const fill::Result result = run->result();
    const QString& path = run->job().path;

    // However the run ended, show the free space it left behind, and where a run that wrote ended.
    const bool wrote = result.outcome != fill::Outcome::CreateFailed && result.outcome != fill::Outcome::HeaderFailed;
    if (wrote) {
        showPosition(result.bytesWritten + 1);
    }
    if (m_pathEdit->text() == path) {
        showFreeBytes(run->freeBytesAfter());
    } else {
        updateFreeSpace(true);
    }

    QString failure;
    if (!wrote) {
        failure = cannotCreate(path, result.error);
    } else if (result.outcome == fill::Outcome::WriteFailed) {
        failure = path + QStringLiteral("\n書き込みが途中で終了しました。\n") + platform::errorText(result.error);
    }
    if (!failure.isEmpty()) {
        // Said also when the window has gone meanwhile; the program then ends with a failure.
        if (m_closed) {
            m_exitCode = 1;
        }
        m_desktop.tell(failure, Icon::Critical);
    }
    finishFill();
}

void MainWindow::finishFill()
{
    m_desktop.beep();
    setState(State::Idle);
    emit fillFinished();
    if (m_closed) {
        emit closed(m_exitCode);
    }
}

// --- the free-space display ----------------------------------------------------------------------

qint64 MainWindow::freeSpace(const platform::Desktop::FreeSpaceQuery& query, const QString& path)
{
    // Through a symbolic link the data lands on the volume of the file it points to.
    const auto landing = fill::landingFolder(path);
    return landing ? query(landing->drive, landing->folder) : 0;
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

void MainWindow::showFreeBytes(qint64 freeBytes)
{
    // Newer than any answer still out.
    ++m_freeSpaceSerial;
    showFreeSpace(freeSpaceText(true, freeBytes));
}

void MainWindow::updateFreeSpace(bool withUnit)
{
    m_freeSpaceWaiting = FreeSpaceRequest { ++m_freeSpaceSerial, m_pathEdit->text(), withUnit };
    sendFreeSpaceRequest();
}

void MainWindow::sendFreeSpaceRequest()
{
    if (!m_freeSpaceWaiting) {
        return;
    }
    if (!m_freeSpacePathsOut.isEmpty()) {
        const std::chrono::milliseconds waited(m_freeSpaceSent.elapsed());
        if (m_freeSpacePathsOut.size() >= maximumRequestsOut) {
            return; // the next answer sends it
        }
        if (waited < unansweredRequest) {
            m_freeSpaceRetry.start(unansweredRequest - waited);
            return;
        }
        // A path typed on from one that has not answered, or cut back from it, most likely waits on the
        // same volume: it waits for that answer, rather than take a thread per key until none is left for
        // a path on another volume.
        const QString& path = m_freeSpaceWaiting->path;
        if (std::any_of(m_freeSpacePathsOut.cbegin(), m_freeSpacePathsOut.cend(),
                        [&path](const QString& out) { return out.startsWith(path) || path.startsWith(out); })) {
            return; // that answer sends it
        }
    }
    const FreeSpaceRequest request = *std::exchange(m_freeSpaceWaiting, std::nullopt);
    m_freeSpacePathsOut.append(request.path);
    m_freeSpaceSent.start();
    m_calls.run<qint64>([query = m_desktop.freeSpaceQuery(), path = request.path] { return freeSpace(query, path); },
                        [this, request](qint64 freeBytes) {
                            m_freeSpacePathsOut.removeOne(request.path);
                            if (request.serial == m_freeSpaceSerial) {
                                showFreeSpace(freeSpaceText(request.withUnit, freeBytes));
                            }
                            sendFreeSpaceRequest();
                        });
}

void MainWindow::showPosition(qint64 position)
{
    m_positionLabel->setText(QString::number(position, 16).toUpper());
    // Past 16 MiB the number outgrows its place: the label grows to the right rather than lose digits.
    const int needed = m_positionLabel->sizeHint().width();
    if (needed > m_positionLabel->width()) {
        m_positionLabel->resize(needed, m_positionLabel->height());
    }
}

void MainWindow::showProgress(qint64 position, qint64 freeBytes)
{
    showPosition(position);
    // The free space shown is that of the path in the box: the run's only while the box holds its path.
    if (m_run && m_pathEdit->text() == m_run->job().path) {
        showFreeBytes(freeBytes);
    }
}
