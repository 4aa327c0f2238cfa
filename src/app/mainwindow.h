#pragma once

#include "platform/desktop/desktop.h"
#include "platform/outputfile.h"
#include "platform/settingsstore.h"

#include <QMainWindow>

#include <functional>
#include <memory>

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
// that start, stop and delete a fill. The fill itself runs on a thread of its own (runFill()); the
// window keeps pumping its events meanwhile.
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

    // Writes the fill file the window describes and returns once it is closed. existing: Refuse when
    // Start found no file at the path, so one that appears before the run is never emptied unasked.
    void runFill(platform::Existing existing = platform::Existing::Replace);
    // Bytes available on the volume the output path's data lands on.
    qint64 freeSpace();

    // The seven-line usage text of the Help menu.
    static QString usageText();
    // The program's icon, sharp at any scale.
    static QIcon icon();

    // Where a run gets its output file; tests put a failing fake here.
    void setOutputFileFactory(OutputFileFactory factory) { m_outputFiles = std::move(factory); }
    // How often a run refreshes the free space and position (0: at every pass).
    void setProgressInterval(qint64 milliseconds) { m_progressInterval = milliseconds; }

public slots:
    void browse();
    void deleteFillFile();
    void startFill();
    void stopFill();
    void showUsage();
    void showAbout();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void createControls();
    void createMenus();
    void connectButton(QPushButton* button, const std::function<void()>& action);
    void readSettings();
    void setRunning(bool running);
    void acknowledgeStop();
    QString freeSpaceText(bool withUnit, qint64 freeBytes) const;
    void showFreeSpace(const QString& text);
    void showProgress(qint64 position, qint64 freeBytes);
    void updateFreeSpace(bool withUnit);

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

    fill::BackgroundRun* m_run = nullptr; // the run under way, if any
    bool m_unitWasChecked = false;
    bool m_stopGaveUpFocus = false;
    int m_commandsRunning = 0; // button handlers under way, nested in a run or a message box
};
