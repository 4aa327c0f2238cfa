#include "fill/backgroundrun.h"

namespace fill {

BackgroundRun::BackgroundRun(platform::OutputFile& file, Job job)
    : m_file(file)
    , m_job(std::move(job))
    , m_thread(&BackgroundRun::work, this)
{
}

BackgroundRun::~BackgroundRun()
{
    // Never leave the writer waiting for a pass nobody runs.
    m_stop = true;
    {
        std::lock_guard lock(m_mutex);
        m_passWanted = false;
    }
    m_changed.notify_all();
    m_thread.join();
}

void BackgroundRun::publish(qint64 position, bool always)
{
    const auto now = std::chrono::steady_clock::now();
    if (!always && m_lastSample != std::chrono::steady_clock::time_point {}
        && now - m_lastSample < m_job.progressInterval) {
        return;
    }
    m_lastSample = now;
    const qint64 free = m_job.freeSpace ? m_job.freeSpace() : 0;
    std::lock_guard lock(m_mutex);
    m_progress = Progress { position, free };
}

void BackgroundRun::work()
{
    Hooks hooks;
    hooks.pass = [this](qint64 position) {
        publish(position, false);
        std::unique_lock lock(m_mutex);
        m_passWanted = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return !m_passWanted; });
    };
    hooks.stopRequested = [this] { return m_stop.load(); };
    hooks.closing = [this](qint64 length) {
        publish(length + 1, true);
        std::lock_guard lock(m_mutex);
        m_closing = true;
        m_changed.notify_all();
    };
    Engine engine(m_file, hooks);
    const Result result = engine.run(m_job.path, m_job.target, m_job.existing);
    const qint64 free = m_job.freeSpace ? m_job.freeSpace() : 0;
    std::lock_guard lock(m_mutex);
    m_result = result;
    m_freeAfter = free;
    m_finished = true;
    m_changed.notify_all();
}

BackgroundRun::Wake BackgroundRun::wait(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    const auto asked = [this] { return m_passWanted || (m_closing && !m_closingSeen) || m_finished; };
    if (timeout.count() < 0) {
        m_changed.wait(lock, asked);
    } else if (!m_changed.wait_for(lock, timeout, asked)) {
        return Wake::Idle;
    }
    if (m_passWanted) {
        return Wake::Pass;
    }
    if (m_closing && !m_closingSeen) {
        m_closingSeen = true;
        return Wake::Closing;
    }
    return Wake::Finished;
}

void BackgroundRun::passDone()
{
    {
        std::lock_guard lock(m_mutex);
        m_passWanted = false;
    }
    m_changed.notify_all();
}

std::optional<BackgroundRun::Progress> BackgroundRun::takeProgress()
{
    std::lock_guard lock(m_mutex);
    return std::exchange(m_progress, std::nullopt);
}

Result BackgroundRun::result() const
{
    std::lock_guard lock(m_mutex);
    return m_result;
}

qint64 BackgroundRun::freeBytesAfter() const
{
    std::lock_guard lock(m_mutex);
    return m_freeAfter;
}

} // namespace fill
