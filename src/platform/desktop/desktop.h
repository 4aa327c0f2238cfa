#pragma once

#include <QString>

#include <optional>

class QDialog;

namespace platform {

// Message-box codes, as the classic Windows codes: buttons in the low bits, icon in the next ones.
enum MsgBoxCode : int {
    MbOkOnly = 0,
    MbYesNo = 4,
    MbCritical = 16,
    MbExclamation = 48,
    MbInformation = 64,
};

// What a message box answers.
enum MsgBoxAnswer : int {
    AnswerOk = 1,
    AnswerYes = 6,
    AnswerNo = 7,
};

// Everything the windows ask of the desktop. The real one is QtDesktop; tests use a fake that
// answers from a script, so no test ever waits for a person.
class Desktop
{
public:
    virtual ~Desktop() = default;

    // Modal message box titled with the application title. Returns AnswerOk, AnswerYes or AnswerNo.
    virtual int msgBox(const QString& prompt, int code) = 0;
    virtual void beep() = 0;
    // One pass of the event pump: handles what is pending and returns. A run makes one at each of
    // its pass points, and a Stop handled there ends it before its next block.
    virtual void doEvents() = 0;
    // The same, made while the window waits for a run's thread to write, flush or close: the
    // window stays alive whatever the disk does. No step of the run.
    virtual void idlePass() = 0;
    // The open-form file dialog. Returns the chosen full path, or nothing when cancelled.
    virtual std::optional<QString> openFileDialog(const QString& initialDir, const QString& fileName, int flags) = 0;
    virtual void setClipboardText(const QString& text) = 0;
    // Bytes available on the volume of a file in dir on drive (see platform::diskFree); 0 when unknown.
    virtual qint64 diskFree(const QString& drive, const QString& dir) = 0;
    // Shows a window modally and returns when it has closed.
    virtual void showModal(QDialog& window) = 0;
};

} // namespace platform
