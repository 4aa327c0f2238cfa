#include "core/backgroundrun.h"

namespace fill {

BackgroundRun::BackgroundRun(std::unique_ptr<platform::OutputFile> file, Job job, Pause& pause, QObject* parent)
    : QThread(parent)
    , m_file(std::move(file))
    , m_job(std::move(job))
    , m_pause(pause)
{
}

BackgroundRun::~BackgroundRun()
{
    // Never leave the run waiting on a pause nobody lowers: it ends before its next block.
    requestStop();
    wait();
}

void BackgroundRun::requestStop()
{
    m_stop = true;
    m_pause.wake();
}

void BackgroundRun::publish(qint64 position, bool always)
{
    const auto now = std::chrono::steady_clock::now();
    if (!always && m_lastSample != std::chrono::steady_clock::time_point {}
        && now - m_lastSample < m_job.progressInterval) {
        return;
    }
    m_lastSample = now;
    emit progress(position, m_job.freeSpace ? m_job.freeSpace() : 0);
}

void BackgroundRun::run()
{
    Hooks hooks;
    hooks.pass = [this](qint64 position) {
        publish(position, false);
        m_pause.waitWhileRaised([this] { return m_stop.load(); });
    };
    hooks.stopRequested = [this] { return m_stop.load(); };
    hooks.closing = [this](qint64 length) { publish(length + 1, true); };
    Engine engine(*m_file, hooks);
    m_result = engine.run(m_job.path, m_job.target, m_job.existing);
    m_freeAfter = m_job.freeSpace ? m_job.freeSpace() : 0;
}

} // namespace fill
