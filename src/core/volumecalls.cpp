#include "core/volumecalls.h"

#include <QMetaObject>

#include <system_error>
#include <thread>

namespace fill {

VolumeCalls::VolumeCalls(QObject* receiver)
    : m_receiver(std::make_shared<Receiver>())
{
    m_receiver->object = receiver;
}

VolumeCalls::~VolumeCalls()
{
    // A call still out keeps its thread; once the receiver is marked gone, no answer reaches it.
    std::lock_guard lock(m_receiver->mutex);
    m_receiver->object = nullptr;
}

void VolumeCalls::start(std::function<std::function<void()>()> work)
{
    // Answers are counted off, and given, only while this lives: on the receiver's thread, where it
    // lives and goes.
    auto deliver = [this, alive = std::weak_ptr<int>(m_alive)](const std::function<void()>& answer) {
        if (alive.expired()) {
            return;
        }
        --m_outstanding;
        answer();
    };
    try {
        std::thread([receiver = m_receiver, work = std::move(work), deliver = std::move(deliver)] {
            std::function<void()> answer = work();
            std::lock_guard lock(receiver->mutex);
            if (receiver->object) {
                QMetaObject::invokeMethod(
                    receiver->object, [deliver, answer = std::move(answer)] { deliver(answer); }, Qt::QueuedConnection);
            }
        }).detach();
        ++m_outstanding;
    } catch (const std::system_error&) {
        // No thread to be had: the call is not made, and no answer comes.
    }
}

} // namespace fill
