#pragma once

#include "platform/desktop/desktop.h"

#include <QList>
#include <QString>

#include <functional>
#include <map>
#include <mutex>
#include <optional>

// A desktop that answers from a script and records what the program asked of it.
class FakeDesktop final : public platform::Desktop
{
public:
    struct Box
    {
        QString prompt;
        int code;
    };

    int msgBox(const QString& prompt, int code) override;
    void beep() override { ++beeps; }
    void doEvents() override;
    void idlePass() override;
    std::optional<QString> openFileDialog(const QString& initialDir, const QString& fileName, int flags) override;
    void setClipboardText(const QString& text) override { clipboard.append(text); }
    qint64 diskFree(const QString& drive, const QString& dir) override;
    void showModal(QDialog& window) override;

    // Script.
    QList<int> answers; // for Yes/No questions, in order
    QList<std::optional<QString>> dialogAnswers; // for the file dialog, in order; nothing = cancel
    std::map<int, std::function<void()>> onPass; // run during the N-th event-pump pass (1-based)
    std::function<void(int pass)> everyPass;
    std::function<void()> onIdlePass; // run during the window's own passes while a run's thread works
    std::function<void(QDialog&)> onModal; // plays the user while a modal window is open
    std::function<void(const Box&)> onBox; // plays other programs while a message box is open
    bool processRealEvents = false; // also run Qt's own event pump on each pass
    std::optional<qint64> freeSpace; // what diskFree answers; nothing = ask the system

    // Record.
    QList<Box> boxes;
    QList<QString> dialogDirs;
    QList<QString> dialogFileNames;
    QList<int> dialogFlags;
    QList<QString> clipboard;
    QList<QString> freeSpaceDirs; // the folders diskFree was asked about (from a run's thread too)
    int beeps = 0;
    int modals = 0;
    int passes = 0;
    int idlePasses = 0;

private:
    std::mutex m_mutex; // diskFree is asked on a run's thread
};
