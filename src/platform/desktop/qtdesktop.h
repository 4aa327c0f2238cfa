#pragma once

#include "platform/desktop/desktop.h"

namespace platform {

class QtDesktop final : public Desktop
{
public:
    int msgBox(const QString& prompt, int code) override;
    void beep() override;
    void doEvents() override;
    void idlePass() override { doEvents(); }
    std::optional<QString> openFileDialog(const QString& initialDir, const QString& fileName, int flags) override;
    void setClipboardText(const QString& text) override;
    qint64 diskFree(const QString& drive, const QString& dir) override;
    void showModal(QDialog& window) override;
};

// The prompt as a message box shows it: LF line breaks, and lines too long for any screen
// shortened in the middle so the box stays on the screen.
QString displayedPrompt(const QString& prompt);

} // namespace platform
