#include "ui/desktop.h"

namespace platform {

bool Desktop::ask(const QString& text, Icon icon)
{
    const fill::Pause::Hold paused(m_modalPause);
    return question(text, icon);
}

void Desktop::tell(const QString& text, Icon icon)
{
    const fill::Pause::Hold paused(m_modalPause);
    message(text, icon);
}

std::optional<QString> Desktop::chooseFile(const QString& folder, const QString& lastPicked, bool folderMustExist)
{
    const fill::Pause::Hold paused(m_modalPause);
    return fileDialog(folder, lastPicked, folderMustExist);
}

void Desktop::showModal(QDialog& window)
{
    const fill::Pause::Hold paused(m_modalPause);
    modalWindow(window);
}

} // namespace platform
