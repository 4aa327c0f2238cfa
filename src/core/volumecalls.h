#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <mutex>

namespace fill {

// Runs calls that may wait on a volume (a free-space query, an existence check, a delete) on
// threads of their own, and hands each answer to the receiver's thread as a queued call. A volume
// that never answers holds only the threads of its own calls: the receiver never waits for them,
// not even when it goes; an answer that comes after that is dropped.
class VolumeCalls
{
public:
    explicit VolumeCalls(QObject* receiver);
    ~VolumeCalls();
    VolumeCalls(const VolumeCalls&) = delete;
    VolumeCalls& operator=(const VolumeCalls&) = delete;

    // Runs work on a thread of its own; answer gets its result on the receiver's thread.
    template<class T> void run(std::function<T()> work, std::function<void(T)> answer)
    {
        start([work = std::move(work), answer = std::move(answer)]() -> std::function<void()> {
            return [answer, value = work()] { answer(value); };
        });
    }

    // Calls started and not answered yet.
    int outstanding() const { return m_outstanding; }

private:
    struct Receiver
    {
        std::mutex mutex;
        QObject* object = nullptr; // none once the receiver is gone
    };

    void start(std::function<std::function<void()>()> work);

    std::shared_ptr<Receiver> m_receiver;
    std::shared_ptr<int> m_alive = std::make_shared<int>(0); // answers are given only while this lives
    int m_outstanding = 0;
};

} // namespace fill
