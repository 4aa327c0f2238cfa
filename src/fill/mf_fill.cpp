#include "app/mf.h"

#include "fill/fillengine.h"
#include "util/module2.h"

#include <QLineEdit>
#include <QRadioButton>

void MF::MK_FILE(platform::Existing existing)
{
    Module2::STOP_FLAG = 0;

    const QString path = Text1[0]->text();
    if (path.isEmpty()) {
        m_desktop.msgBox(QStringLiteral("作成するファイルを入力してください"), platform::MbCritical);
        return;
    }
    const QString sizeText = Text1[1]->text();
    const auto target = fill::targetBytes(sizeText, Option1[0]->isChecked() ? fill::kilobyte : fill::megabyte);
    if (!target) {
        m_desktop.msgBox(QStringLiteral("サイズが大きすぎます。\r\n") + sizeText, platform::MbCritical);
        return;
    }

    const auto file = m_outputFiles();
    m_progressClock.start();
    fill::Engine engine(*file,
                        { .pass = [this](qint64 position) { fillPass(position); },
                          .stopRequested = [] { return Module2::STOP_FLAG == 1; } });
    const fill::Result result = engine.run(path, *target, existing);
    // However the run ended, show the free space it left behind, and where a run that wrote ended.
    if (result.outcome == fill::Outcome::CreateFailed || result.outcome == fill::Outcome::HeaderFailed) {
        setFreeSpaceCaption(freeSpaceText(true));
    } else {
        showProgress(result.bytesWritten + 1);
    }

    switch (result.outcome) {
    case fill::Outcome::CreateFailed:
    case fill::Outcome::HeaderFailed:
        m_desktop.msgBox(path + QStringLiteral("\r\nファイルを作成できません。\r\n")
                             + platform::errorText(result.error),
                         platform::MbCritical);
        break;
    case fill::Outcome::WriteFailed:
        m_desktop.msgBox(path + QStringLiteral("\r\n書き込みが途中で終了しました。\r\n")
                             + platform::errorText(result.error),
                         platform::MbCritical);
        break;
    case fill::Outcome::TargetReached:
    case fill::Outcome::Stopped:
    case fill::Outcome::DiskFull:
        break;
    }
}

void MF::fillPass(qint64 position)
{
    m_desktop.doEvents();
    if (m_progressClock.elapsed() >= m_progressInterval) {
        showProgress(position);
        m_progressClock.start();
    }
}
