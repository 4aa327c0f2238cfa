#pragma once

#include "fill/fillengine.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace fill {

// Runs the fill engine on a thread of its own, so that nothing that can wait on the disk (a write,
// the final flush, the close) runs on the thread that owns the window. The engine still stops at its
// pass points, once per run of blocks, and waits there until the owner has run one pass of its
// event pump: a Stop handled in that pass ends the run before another block, and a modal window
// opened in a pass holds the run until it closes. Between pass points the owner pumps on its own,
// so the window lives while a write or a flush stalls.
class BackgroundRun
{
public:
    struct Job
    {
        QString path;
        qint64 target = fillTheDisk;
        platform::Existing existing = platform::Existing::Replace;
        // The free bytes of the volume, asked on the run's thread: the query may wait on the volume.
        std::function<qint64()> freeSpace;
        // How often progress is sampled; 0: at every pass point.
        std::chrono::milliseconds progressInterval { 250 };
    };

    struct Progress
    {
        qint64 position = 1; // 1-based position of the next byte
        qint64 freeBytes = 0;
    };

    // What the run asks of its owner.
    enum class Wake {
        Pass, // at a pass point: run one pass of the event pump, then call passDone()
        Closing, // the writing is over and the file is being closed: the last progress is in
        Finished, // the file is closed: result() holds the outcome
        Idle, // nothing within the time given
    };

    BackgroundRun(platform::OutputFile& file, Job job);
    ~BackgroundRun();
    BackgroundRun(const BackgroundRun&) = delete;
    BackgroundRun& operator=(const BackgroundRun&) = delete;

    // Waits for the run up to timeout; a negative timeout waits until it asks for something.
    Wake wait(std::chrono::milliseconds timeout);
    void passDone();
    // Ends the run before its next block; may be called at any time, from any thread.
    void requestStop() { m_stop = true; }
    // The newest progress not taken yet.
    std::optional<Progress> takeProgress();
    // After Finished: how the run ended, and the volume's free bytes after the close.
    Result result() const;
    qint64 freeBytesAfter() const;

private:
    void work();
    void publish(qint64 position, bool always);

    platform::OutputFile& m_file;
    Job m_job;
    std::atomic<bool> m_stop = false;
    std::chrono::steady_clock::time_point m_lastSample {}; // the run's thread only

    mutable std::mutex m_mutex; // guards everything below
    std::condition_variable m_changed;
    bool m_passWanted = false;
    bool m_closing = false;
    bool m_closingSeen = false;
    bool m_finished = false;
    std::optional<Progress> m_progress;
    Result m_result;
    qint64 m_freeAfter = 0;
    std::thread m_thread;
};

} // namespace fill
