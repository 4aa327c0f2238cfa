#pragma once

#include "core/pause.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QDialog;

namespace platform {

// Everything the windows ask of the desktop. The real one is QtDesktop; tests use a fake that
// answers from a script, so no test ever waits for a person. Every modal window shown through it
// (a message, a question, the file dialog, the About window) holds modalPause() while it is open:
// a run writes nothing until the user has closed it.
class Desktop
{
public:
    // The icon of a message box.
    enum class Icon {
        None,
        Information,
        Warning,
        Critical,
    };

    virtual ~Desktop() = default;

    // A question with Yes and No, Yes the default, titled with the application title; true for Yes.
    // Anything but an explicit Yes (the close box included) is No.
    bool ask(const QString& text, Icon icon);
    // A message with OK, titled with the application title.
    void tell(const QString& text, Icon icon);
    // The open-form file dialog in folder, naming the file picked last where it lies there, where a
    // new name can be typed. folderMustExist: a name in a folder that does not exist is refused in
    // the dialog. Returns the chosen full path, or nothing when cancelled.
    std::optional<QString> chooseFile(const QString& folder, const QString& lastPicked, bool folderMustExist);
    // The folders the file dialog reads as it opens in folder: that one, and any it remembers.
    virtual QStringList fileDialogFolders(const QString& folder) const { return { folder }; }
    // Shows a window modally and returns when it has closed.
    void showModal(QDialog& window);

    virtual void beep() = 0;
    // Text leaves the program here as it stands: line ends included.
    virtual void setClipboardText(const QString& text) = 0;

    // Bytes available on the volume of a file in dir on drive (see platform::diskFree); 0 when unknown.
    using FreeSpaceQuery = std::function<qint64(const QString& drive, const QString& dir)>;
    // The query this desktop answers free space with. It is run on threads of its own, where it may
    // wait on a volume for as long as the volume takes: it holds all it needs, and may outlive the desktop.
    virtual FreeSpaceQuery freeSpaceQuery() const = 0;

    // Raised while a modal window of this desktop is open.
    fill::Pause& modalPause() { return m_modalPause; }

protected:
    // What the calls above show, once the pause is raised.
    virtual bool question(const QString& text, Icon icon) = 0;
    virtual void message(const QString& text, Icon icon) = 0;
    virtual std::optional<QString> fileDialog(const QString& folder, const QString& lastPicked, bool folderMustExist)
        = 0;
    virtual void modalWindow(QDialog& window) = 0;

private:
    fill::Pause m_modalPause;
};

} // namespace platform
