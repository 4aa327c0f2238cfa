#include "app/mf.h"

#include "fill/browse.h"
#include "platform/filesystem.h"
#include "platform/outputfile.h"
#include "util/module2.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>

#include <algorithm>

namespace {

enum Button { Browse = 0, Delete = 1, Start = 2, Stop = 3, Exit = 4 };

} // namespace

void MF::wireButtons()
{
    for (int i = 0; i < static_cast<int>(Command1.size()); ++i) {
        connect(Command1[i], &QPushButton::clicked, this, [this, i] {
            // A shortcut (Alt+letter) presses its button some 100 ms after the key. By then the
            // button may be disabled by a run, or another button's question may be open: such a
            // late press is dropped, so a disabled Delete or Exit never acts during a run, and no
            // command starts under another's message box. Stop is what a run waits for.
            if (!Command1[i]->isEnabled() || QApplication::activeModalWidget()
                || (m_commandsRunning > 0 && i != Stop)) {
                return;
            }
            ++m_commandsRunning;
            const auto done = qScopeGuard([this] { --m_commandsRunning; });
            Command1_Click(i);
        });
    }
    for (int i = 0; i < static_cast<int>(FIL.size()); ++i) {
        connect(FIL[i], &QAction::triggered, this, [this, i] { FIL_Click(i); });
    }
}

void MF::Command1_Click(int Index)
{
    switch (Index) {
    case Browse:
        FIL_Click(0);
        break;
    case Delete:
        deleteOutputFile();
        break;
    case Start:
        startRun();
        break;
    case Stop:
        Module2::STOP_FLAG = 1;
        // The run ends before its next block, whatever the disk is doing: Stop's part is done.
        if (Command1[Stop]->isEnabled()) {
            acknowledgeStop();
        }
        break;
    case Exit:
        FIL_Click(1);
        break;
    default:
        break;
    }
}

void MF::FIL_Click(int Index)
{
    switch (Index) {
    case 0:
        browse();
        break;
    case 1:
        close();
        break;
    default:
        break;
    }
}

void MF::setRunning(bool running)
{
    QWidget* const focused = focusWidget();
    // Index order, as the buttons have always switched.
    Command1[Browse]->setEnabled(!running);
    Command1[Delete]->setEnabled(!running);
    Command1[Start]->setEnabled(!running);
    Command1[Stop]->setEnabled(running);
    Command1[Exit]->setEnabled(!running);
    // A button with the focus that was just disabled would hand it on down the tab order, to the
    // path box with its text selected, where a stray key replaces the path. The focus goes to Stop
    // for the run, and back to Start after it (also from a Stop that gave it up while the file closed).
    const bool fromAButton = std::find(Command1.begin(), Command1.end(), focused) != Command1.end();
    if ((focused && !focused->isEnabled() && fromAButton) || (!running && m_stopGaveUpFocus)) {
        Command1[running ? Stop : Start]->setFocus();
    }
    m_stopGaveUpFocus = false;
}

void MF::acknowledgeStop()
{
    // The run ends before its next block; while the file closes Stop has nothing left to do. It lets
    // go of the focus first, which would otherwise pass down the tab order to the path box.
    if (Command1[Stop]->hasFocus()) {
        Command1[Stop]->clearFocus();
        m_stopGaveUpFocus = true;
    }
    Command1[Stop]->setEnabled(false);
}

void MF::startRun()
{
    const bool exists = platform::fileExists(Text1[0]->text());
    if (exists
        && m_desktop.msgBox(QStringLiteral("ファイルは既に存在しています。上書きしていいですか。"),
                            platform::MbYesNo | platform::MbExclamation)
            == platform::AnswerNo) {
        return;
    }
    setRunning(true);
    saveSettings();
    MK_FILE(exists ? platform::Existing::Replace : platform::Existing::Refuse);
    m_desktop.beep();
    setRunning(false);
}

void MF::deleteOutputFile()
{
    const QString path = Text1[0]->text();
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
    setFreeSpaceCaption(freeSpaceText(true));
    Label1[3]->clear();
}

void MF::browse()
{
    const QString joined = fill::browseInitialDir(Text1[0]->text(), LIB_SYS::nativePaths());
    CommonDialog1.InitDir = QDir::toNativeSeparators(QDir::cleanPath(QDir::fromNativeSeparators(joined)));
    const auto picked = m_desktop.openFileDialog(CommonDialog1.InitDir, CommonDialog1.FileName, CommonDialog1.Flags);
    // A cancel leaves the path as the user typed it.
    if (!picked) {
        return;
    }
    CommonDialog1.FileName = *picked;
    Text1[0]->setText(*picked);
}
