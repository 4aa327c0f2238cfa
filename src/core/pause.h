#pragma once

#include <QtGlobal>

#include <condition_variable>
#include <functional>
#include <mutex>

namespace fill {

// A pause a run honours before each run of blocks: raised while a modal window is open, so that
// nothing is written until the user has closed it. Raised by one thread, waited on by another.
class Pause
{
public:
    // Raised and lowered in pairs; it holds while any raise is not yet lowered.
    void raise();
    void lower();

    // Waits while the pause holds, unless (or until) cancelled() is true. wake() makes a waiter look
    // at cancelled() again.
    void waitWhileRaised(const std::function<bool()>& cancelled);
    void wake();
    // Runs waiting on the pause right now.
    int waiting() const;

    // Holds the pause for its own lifetime.
    class Hold
    {
    public:
        explicit Hold(Pause& pause)
            : m_pause(pause)
        {
            m_pause.raise();
        }
        ~Hold() { m_pause.lower(); }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        Pause& m_pause;
    };

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_raised = 0;
    int m_waiting = 0;
};

} // namespace fill
