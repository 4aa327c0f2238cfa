#pragma once

#include "core/fillengine.h"
#include "core/pause.h"

#include <QString>
#include <QThread>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

namespace fill {

// A fill run on a thread of its own, so that nothing that can wait on the disk (a write, the final
// flush, the close) runs on the thread that owns the window. The run reports its progress with
// queued signals and ends with finished(); before each run of blocks it checks the stop request and
// waits while the pause is raised. Destroying it stops the run and waits for the file to close.
class BackgroundRun : public QThread
{
    Q_OBJECT

public:
    struct Job
    {
        QString path;
        qint64 target = fillTheDisk;
        platform::Existing existing = platform::Existing::Replace;
        // The free bytes of the volume, asked on the run's thread: the query may wait on the volume.
        std::function<qint64()> freeSpace;
        // How often progress is sampled; 0: at every run of blocks.
        std::chrono::milliseconds progressInterval { 250 };
    };

    BackgroundRun(std::unique_ptr<platform::OutputFile> file, Job job, Pause& pause, QObject* parent = nullptr);
    ~BackgroundRun() override;

    const Job& job() const { return m_job; }
    // Ends the run before its next block; may be called at any time, from any thread.
    void requestStop();
    // Once finished(): how the run ended, and the volume's free bytes after the close.
    Result result() const { return m_result; }
    qint64 freeBytesAfter() const { return m_freeAfter; }

signals:
    // A sample of the run: the 1-based position of the next byte, the volume's free bytes. The last
    // comes when the writing is over and the file is about to close.
    void progress(qint64 position, qint64 freeBytes);

protected:
    void run() override;

private:
    void publish(qint64 position, bool always);

    std::unique_ptr<platform::OutputFile> m_file;
    Job m_job;
    Pause& m_pause;
    std::atomic<bool> m_stop = false;
    std::chrono::steady_clock::time_point m_lastSample {};
    Result m_result;
    qint64 m_freeAfter = 0;
};

} // namespace fill
