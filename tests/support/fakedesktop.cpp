#include "fakedesktop.h"

#include "platform/filesystem.h"

#include <QDir>
#include <QTest>

bool FakeDesktop::question(const QString& text, Icon icon)
{
    boxes.append({ text, icon, true });
    if (onBox) {
        onBox(boxes.last());
    }
    if (answers.isEmpty()) {
        // Fail the test instead of hanging it on a question nobody answers.
        QTest::qFail(qPrintable(QStringLiteral("unexpected question: ") + text), __FILE__, __LINE__);
        return false;
    }
    return answers.takeFirst();
}

void FakeDesktop::message(const QString& text, Icon icon)
{
    boxes.append({ text, icon, false });
    if (onBox) {
        onBox(boxes.last());
    }
}

std::optional<QString> FakeDesktop::fileDialog(const QString& folder, const QString& lastPicked, bool folderMustExist)
{
    QDir(folder).entryList(); // as a real dialog reads the folder it opens in
    dialogFolders.append(folder);
    dialogLastPicks.append(lastPicked);
    dialogFolderMustExist.append(folderMustExist);
    if (dialogAnswers.isEmpty()) {
        QTest::qFail("unexpected file dialog", __FILE__, __LINE__);
        return std::nullopt;
    }
    return dialogAnswers.takeFirst();
}

void FakeDesktop::modalWindow(QDialog& window)
{
    ++modals;
    if (onModal) {
        onModal(window);
    }
}

void FakeDesktop::setFreeSpace(std::optional<qint64> bytes)
{
    const std::lock_guard lock(m_freeSpace->mutex);
    m_freeSpace->bytes = bytes;
}

QStringList FakeDesktop::freeSpaceFolders() const
{
    const std::lock_guard lock(m_freeSpace->mutex);
    return m_freeSpace->folders;
}

platform::Desktop::FreeSpaceQuery FakeDesktop::freeSpaceQuery() const
{
    return [state = m_freeSpace](const QString& drive, const QString& dir) {
        std::optional<qint64> bytes;
        {
            const std::lock_guard lock(state->mutex);
            state->folders.append(dir);
            bytes = state->bytes;
        }
        return bytes ? *bytes : platform::diskFree(drive, dir);
    };
}
