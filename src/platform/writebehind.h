#pragma once

#include <QtGlobal>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace platform {

// Write-behind for a file written from start to end. Each finished window of the file is started on
// its way to the disk at once, and the window before it is waited for and dropped from the page
// cache: a long fill neither evicts the cache of the programs under test nor stalls in write()
// under dirty-page throttling, and what the caller waits for at a time is one window's write-back,
// with no other thread to hand over to on the way. The window adapts to the device. A helper
// flushes what was written back to the device itself (fdatasync), so that little is left in a
// volatile disk cache (a virtual machine's host, a USB stick) for the flush at the close: the
// close, and with it a Stop, stays short. How much may wait for a flush follows how fast the last
// flush drained beyond its fixed cost. On memory file systems, and where the system lacks the calls,
// it does nothing.
class WriteBehind
{
public:
    WriteBehind() = default;
    ~WriteBehind();
    WriteBehind(const WriteBehind&) = delete;
    WriteBehind& operator=(const WriteBehind&) = delete;

    // A new file, empty, open as fd.
    void start(int fd);
    // Asked before more is written: false when the file has run too far ahead of the flushes and
    // they did not catch up within a few milliseconds. Write nothing then, and ask again after other work.
    bool ready();
    // The file now ends at end: starts the write-back of the windows finished, and waits for the
    // window before them. Reports a failed write-back (an I/O error, no space) met since.
    std::error_code wrote(qint64 end);
    // The file was cut back to size.
    void truncated(qint64 size);
    // The file grew to end by blocks reserved without data: nothing there to write back.
    void reserved(qint64 end);
    // Waits for the windows started, flushes the rest and drops it from the cache; called before the
    // file is closed. Reports the first failure.
    std::error_code finish();

private:
    struct Window
    {
        qint64 start;
        qint64 length;
    };

    // Waits for the window started last and drops it; false when the system lacks the calls.
    bool waitFor(const Window& window);
    void stopWritingBack(int failure);
    void flushWork();
    void stopHelper();

    int m_fd = -1;
    bool m_enabled = false;
    qint64 m_started = 0; // end of the last window started
    std::optional<Window> m_inFlight; // started, not yet waited for
    qint64 m_window = 1024 * 1024;

    std::mutex m_mutex; // guards everything below
    std::condition_variable m_changed;
    // Bytes of data (not of reservations, which hold none) started on their way, and started before
    // the last flush to the device began.
    qint64 m_startedBytes = 0;
    qint64 m_flushedBytes = 0;
    qint64 m_unflushedLimit = 0; // how far the file may run ahead of the flushes
    qint64 m_bareFlushNs = 0; // the quickest flush seen: its fixed cost
    std::chrono::steady_clock::time_point m_lastFlush {};
    std::error_code m_error;
    bool m_stopping = false;
    std::thread m_flusher;
};

} // namespace platform
