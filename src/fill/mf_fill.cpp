#include "app/mf.h"

#include "fill/backgroundrun.h"
#include "fill/landing.h"
#include "util/module2.h"

#include <QLineEdit>
#include <QPushButton>
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

    // The free space is asked on the run's thread: on a stalled volume the query waits too.
    const auto landing = fill::landingFolder(path);
    auto freeSpace
        = [this, landing]() -> qint64 { return landing ? m_desktop.diskFree(landing->drive, landing->dir) : 0; };
    const auto file = m_outputFiles();
    fill::BackgroundRun run(*file,
                            { .path = path,
                              .target = *target,
                              .existing = existing,
                              .freeSpace = freeSpace,
                              .progressInterval = std::chrono::milliseconds(m_progressInterval) });
    // The window's thread only pumps: one pass at every pass point of the run, and idle passes on
    // its own between them while the run writes, flushes or closes.
    constexpr std::chrono::milliseconds idlePassInterval(10);
    bool stopSeen = false;
    for (;;) {
        const auto wake = run.wait(idlePassInterval);
        if (wake == fill::BackgroundRun::Wake::Finished) {
            break;
        }
        if (wake == fill::BackgroundRun::Wake::Pass) {
            m_desktop.doEvents();
        } else if (wake == fill::BackgroundRun::Wake::Idle) {
            m_desktop.idlePass();
        }
        // Set by Stop or a close request in the pass just made: no further block is started.
        if (!stopSeen && Module2::STOP_FLAG == 1) {
            stopSeen = true;
            run.requestStop();
            if (Command1[3]->isEnabled()) {
                acknowledgeStop();
            }
        }
        if (const auto progress = run.takeProgress()) {
            showProgress(progress->position, progress->freeBytes);
        }
        if (wake == fill::BackgroundRun::Wake::Pass) {
            run.passDone();
        }
    }

    const fill::Result result = run.result();
    // However the run ended, show the free space it left behind, and where a run that wrote ended.
    if (result.outcome == fill::Outcome::CreateFailed || result.outcome == fill::Outcome::HeaderFailed) {
        setFreeSpaceCaption(freeSpaceText(true, run.freeBytesAfter()));
    } else {
        showProgress(result.bytesWritten + 1, run.freeBytesAfter());
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
