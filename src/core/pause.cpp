#include "core/pause.h"

namespace fill {

void Pause::raise()
{
    std::lock_guard lock(m_mutex);
    ++m_raised;
}

void Pause::lower()
{
    {
        std::lock_guard lock(m_mutex);
        Q_ASSERT(m_raised > 0);
        --m_raised;
    }
    m_changed.notify_all();
}

void Pause::waitWhileRaised(const std::function<bool()>& cancelled)
{
    std::unique_lock lock(m_mutex);
    ++m_waiting;
    m_changed.wait(lock, [&] { return m_raised == 0 || cancelled(); });
    --m_waiting;
}

void Pause::wake()
{
    // Taking the lock orders the change the waiter is to see before its next look.
    {
        std::lock_guard lock(m_mutex);
    }
    m_changed.notify_all();
}

int Pause::waiting() const
{
    std::lock_guard lock(m_mutex);
    return m_waiting;
}

} // namespace fill
