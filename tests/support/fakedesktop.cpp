#include "fakedesktop.h"

#include "platform/filesystem.h"

#include <QCoreApplication>
#include <QTest>

int FakeDesktop::msgBox(const QString& prompt, int code)
{
    boxes.append({ prompt, code });
    if (onBox) {
        onBox(boxes.last());
    }
    if ((code & 0x0F) != platform::MbYesNo) {
        return platform::AnswerOk;
    }
    if (answers.isEmpty()) {
        // Fail the test instead of hanging it on a question nobody answers.
        QTest::qFail(qPrintable(QStringLiteral("unexpected question: ") + prompt), __FILE__, __LINE__);
        return platform::AnswerNo;
    }
    return answers.takeFirst();
}

void FakeDesktop::doEvents()
{
    ++passes;
    if (processRealEvents) {
        QCoreApplication::processEvents();
    }
    if (everyPass) {
        everyPass(passes);
    }
    if (const auto it = onPass.find(passes); it != onPass.end()) {
        it->second();
    }
}

void FakeDesktop::idlePass()
{
    ++idlePasses;
    if (processRealEvents) {
        QCoreApplication::processEvents();
    }
    if (onIdlePass) {
        onIdlePass();
    }
}

std::optional<QString> FakeDesktop::openFileDialog(const QString& initialDir, const QString& fileName, int flags)
{
    dialogDirs.append(initialDir);
    dialogFileNames.append(fileName);
    dialogFlags.append(flags);
    if (dialogAnswers.isEmpty()) {
        QTest::qFail("unexpected file dialog", __FILE__, __LINE__);
        return std::nullopt;
    }
    return dialogAnswers.takeFirst();
}

qint64 FakeDesktop::diskFree(const QString& drive, const QString& dir)
{
    const std::lock_guard lock(m_mutex);
    freeSpaceDirs.append(dir);
    return freeSpace ? *freeSpace : platform::diskFree(drive, dir);
}

void FakeDesktop::showModal(QDialog& window)
{
    ++modals;
    if (onModal) {
        onModal(window);
    }
}
