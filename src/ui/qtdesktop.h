#pragma once

#include "ui/desktop.h"

namespace platform {

class QtDesktop final : public Desktop
{
public:
    void beep() override;
    void setClipboardText(const QString& text) override;
    FreeSpaceQuery freeSpaceQuery() const override;
    QStringList fileDialogFolders(const QString& folder) const override;

protected:
    bool question(const QString& text, Icon icon) override;
    void message(const QString& text, Icon icon) override;
    std::optional<QString> fileDialog(const QString& folder, const QString& lastPicked, bool folderMustExist) override;
    void modalWindow(QDialog& window) override;

private:
    QString m_lastDialogFolder; // where the file dialog was when it last closed
};

// The text as a message box shows it: lines too long for any screen shortened in the middle so
// the box stays on the screen.
QString displayedText(const QString& text);

} // namespace platform
