#pragma once

#include "core/settingsstore.h"
#include "core/volumecalls.h"
#include "platform/outputfile.h"
#include "ui/desktop.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

class QAction;
class QIcon;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;

namespace fill {
class BackgroundRun;
}

// The main window: the output path and size, the free space of the path's volume, and the buttons
// that start, stop and delete a fill. It is driven by events alone: the fill runs on a thread of its
// own (fill::BackgroundRun), and every question to the target volume (its free space, whether the
// file exists, the delete) goes to a thread of its own and comes back as a queued call, so the
// window answers whatever the volume does.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    using OutputFileFactory = std::function<std::unique_ptr<platform::OutputFile>()>;

    MainWindow(platform::Desktop& desktop, platform::SettingsStore& settings, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Writes the output path, the size text and the unit to the settings store: at every start of
    // a run, when the window closes, and when the session manager asks.
    void writeSettings();

    // Starts a run that writes the fill file the window describes, without Start's question, and
    // returns at once; fillFinished() follows. existing: Refuse when nobody was asked about a file
    // at the path, so one that appears before the run is never emptied unasked.
    void runFill(platform::Existing existing = platform::Existing::Replace);
    // Bytes available on the volume the data of a file at path lands on. Asks the volume: never
    // called on the window's thread.
    static qint64 freeSpace(const platform::Desktop::FreeSpaceQuery& query, const QString& path);

    // The seven-line usage text of the Help menu.
    static QString usageText();
    // The program's icon, sharp at any scale.
    static QIcon icon();

    // Where a run gets its output file; tests put a failing fake here.
    void setOutputFileFactory(OutputFileFactory factory) { m_outputFiles = std::move(factory); }
    // How often a run refreshes the free space and position (0: at every run of blocks).
    void setProgressInterval(qint64 milliseconds) { m_progressInterval = milliseconds; }
    // Questions to the volume sent and not answered yet.
    int volumeCallsOut() const { return m_calls.outstanding(); }

public slots:
    void browse();
    void deleteFillFile();
    void startFill();
    void stopFill();
    void showUsage();
    void showAbout();

signals:
    // A Start is over, however it ended (the file closed, refused, answered No, called off): the
    // buttons are back.
    void fillFinished();
    // A Delete is over: the file removed, or not.
    void deleteFinished();
    // The window was closed and nothing is left running: the program may end with exitCode, which is
    // not 0 when a run that outlived the window failed.
    void closed(int exitCode);

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // What the window is doing; the buttons follow it.
    enum class State {
        Idle,
        Checking, // Start asked whether the file exists: looks running, Stop calls it off
        Asking, // a question of Start or Delete is open: looks idle, no button acts
        Running,
        Deleting, // Delete's remove is out: Start and Delete wait for it
    };
    // What a Start was given: the run uses it, whatever is typed meanwhile.
    struct FillRequest
    {
        QString path;
        QString sizeText;
        bool kilobytes = true;
    };
    struct FreeSpaceRequest
    {
        quint64 serial = 0;
        QString path;
        bool withUnit = false;
    };

    void createControls();
    void createMenus();
    void connectButton(QPushButton* button, const std::function<void()>& action);
    void readSettings();
    void writeSettings(const FillRequest& request);
    FillRequest currentRequest() const;
    void setState(State state);
    void enableButtons(bool browse, bool del, bool start, bool stop, bool exit);
    void acknowledgeStop();
    void startChecked(quint64 start, const FillRequest& request, bool exists);
    void runFill(const FillRequest& request, platform::Existing existing);
    void runEnded();
    void finishFill();
    void fileDeleted(const QString& path, const std::optional<std::error_code>& outcome);
    void chooseOutputFile(const QString& folder);
    QString freeSpaceText(bool withUnit, qint64 freeBytes) const;
    void showFreeSpace(const QString& text);
    void showFreeBytes(qint64 freeBytes);
    void showPosition(qint64 position);
    void showProgress(qint64 position, qint64 freeBytes);
    void updateFreeSpace(bool withUnit);
    void sendFreeSpaceRequest();

    platform::Desktop& m_desktop;
    platform::SettingsStore& m_settings;
    OutputFileFactory m_outputFiles;
    qint64 m_progressInterval = 250;

    QLabel* m_pathCaption = nullptr;
    QPushButton* m_browseButton = nullptr;
    QLabel* m_positionLabel = nullptr;
    QLineEdit* m_pathEdit = nullptr;
    QLabel* m_sizeCaption = nullptr;
    QLineEdit* m_sizeEdit = nullptr;
    QRadioButton* m_kbButton = nullptr;
    QRadioButton* m_mbButton = nullptr;
    QLabel* m_freeSpaceCaption = nullptr;
    QLabel* m_freeSpaceLabel = nullptr;
    QPushButton* m_startButton = nullptr;
    QPushButton* m_exitButton = nullptr;
    QPushButton* m_stopButton = nullptr;
    QPushButton* m_deleteButton = nullptr;
    QMenu* m_fileMenu = nullptr;
    QAction* m_changeOutputAction = nullptr;
    QAction* m_exitAction = nullptr;
    QMenu* m_helpMenu = nullptr;
    QAction* m_usageAction = nullptr;
    QAction* m_aboutAction = nullptr;

    // The full path picked last in the file dialog behind Browse; none until the first pick.
    QString m_pickedFile;
    quint64 m_browse = 0; // the Browse whose folders are being asked about

    State m_state = State::Idle;
    quint64 m_start = 0; // the Start whose check is out; a Start called off counts on
    std::unique_ptr<fill::BackgroundRun> m_run; // the run under way, if any
    bool m_closed = false; // closed since last shown
    int m_exitCode = 0;
    bool m_unitWasChecked = false;
    QPushButton* m_focusBack = nullptr; // takes the focus again once the window is idle

    // Free space for the display: only the newest request's answer is shown.
    quint64 m_freeSpaceSerial = 0;
    std::optional<FreeSpaceRequest> m_freeSpaceWaiting;
    QStringList m_freeSpacePathsOut; // the path of each request out
    QElapsedTimer m_freeSpaceSent;
    QTimer m_freeSpaceRetry;

    fill::VolumeCalls m_calls { this };
};
