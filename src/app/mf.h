#pragma once

#include "platform/desktop.h"
#include "platform/outputfile.h"
#include "platform/settingsstore.h"

#include <QMainWindow>

#include <array>
#include <functional>
#include <memory>

class QAction;
class QIcon;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;

// The state of the file chooser behind Browse and the File menu.
struct CommonDialog
{
    int Flags = 0;
    QString InitDir;
    QString FileName; // the full path picked last; empty until the first pick
};

// The main window. Its handlers live with their subsystem: start-up, close and settings in app/,
// the fill, the buttons and the free-space display in fill/.
class MF : public QMainWindow
{
    Q_OBJECT

public:
    using OutputFileFactory = std::function<std::unique_ptr<platform::OutputFile>()>;

    MF(platform::Desktop& desktop, platform::SettingsStore& settings, QWidget* parent = nullptr);
    ~MF() override;

    // Controls, indexed as in the layout.
    std::array<QLabel*, 5> Label1 {};
    std::array<QLineEdit*, 2> Text1 {};
    std::array<QRadioButton*, 2> Option1 {};
    std::array<QPushButton*, 5> Command1 {};
    QMenu* FIL_ = nullptr;
    std::array<QAction*, 2> FIL {};
    QMenu* HLP_ = nullptr;
    std::array<QAction*, 2> HLP {};
    CommonDialog CommonDialog1;

    // app/
    void Form_Load();
    void Form_QueryUnload(int& Cancel, int UnloadMode);
    void HLP_Click(int Index);
    // The seven-line usage text of the Help menu.
    static QString usageText();
    // The program's icon, sharp at any scale.
    static QIcon icon();

    // fill/
    // existing: Refuse when Start found no file at the path, so one that appears before the run is
    // never emptied unasked.
    void MK_FILE(platform::Existing existing = platform::Existing::Replace);
    void Command1_Click(int Index);
    void FIL_Click(int Index);
    qint64 DISK_FREE();
    void Text1_Change(int Index);
    void Option1_Click(int Index);

    // Where the fill engine gets its output file; tests put a failing fake here.
    void setOutputFileFactory(OutputFileFactory factory) { m_outputFiles = std::move(factory); }
    // How often a run refreshes the free space and position (0: on every pass).
    void setProgressInterval(qint64 milliseconds) { m_progressInterval = milliseconds; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildLayout();
    void wireButtons();
    void wireMenus();
    void saveSettings();
    void setRunning(bool running);
    void acknowledgeStop();
    void startRun();
    void deleteOutputFile();
    void browse();
    void wireFreeSpace();
    QString freeSpaceText(bool withUnit);
    QString freeSpaceText(bool withUnit, qint64 freeBytes);
    void setFreeSpaceCaption(const QString& caption);
    void showProgress(qint64 position, qint64 freeBytes);

    platform::Desktop& m_desktop;
    platform::SettingsStore& m_settings;
    OutputFileFactory m_outputFiles;
    qint64 m_progressInterval = 250;
    bool m_optionWasChecked = false;
    bool m_stopGaveUpFocus = false;
    int m_commandsRunning = 0; // button handlers under way, nested in a run or a message box
};
