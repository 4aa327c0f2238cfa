#pragma once

#include "ui/desktop.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

// A desktop that answers from a script and records what the program asked of it.
class FakeDesktop final : public platform::Desktop
{
public:
    struct Box
    {
        QString text;
        Icon icon;
        bool question; // Yes and No; else OK alone
    };

    void beep() override { ++beeps; }
    void setClipboardText(const QString& text) override { clipboard.append(text); }
    FreeSpaceQuery freeSpaceQuery() const override;

    // Script.
    QList<bool> answers; // for Yes/No questions, in order: true for Yes
    QList<std::optional<QString>> dialogAnswers; // for the file dialog, in order; nothing = cancel
    std::function<void(QDialog&)> onModal; // plays the user while a modal window is open
    std::function<void(const Box&)> onBox; // plays other programs while a message box is open
    // What free-space queries answer; nothing = ask the system.
    void setFreeSpace(std::optional<qint64> bytes);

    // Record.
    QList<Box> boxes;
    QList<QString> dialogFolders;
    QList<QString> dialogLastPicks;
    QList<bool> dialogFolderMustExist;
    QList<QString> clipboard;
    int beeps = 0;
    int modals = 0;
    // The folders free space was asked about (on the threads that ask).
    QStringList freeSpaceFolders() const;

protected:
    bool question(const QString& text, Icon icon) override;
    void message(const QString& text, Icon icon) override;
    std::optional<QString> fileDialog(const QString& folder, const QString& lastPicked, bool folderMustExist) override;
    void modalWindow(QDialog& window) override;

private:
    // Shared with the queries, which may outlive this desktop.
    struct FreeSpace
    {
        std::mutex mutex;
        std::optional<qint64> bytes;
        QStringList folders;
    };
    std::shared_ptr<FreeSpace> m_freeSpace = std::make_shared<FreeSpace>();
};
