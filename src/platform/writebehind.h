#pragma once

#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace platform {

// Write-behind for a file written from start to end. Each finished window of the file is handed to
// a helper thread, which starts its write-back at once, waits for it and drops it from the page
// cache: a long fill neither evicts the cache of the programs under test nor stalls in write()
// under dirty-page throttling, and the waiting for the disk never blocks the caller's thread for
// long. The window adapts to the device. A second helper flushes what was written back to the
// device itself (fdatasync), so that little is left in a volatile disk cache (a virtual machine's
// host, a USB stick) for the flush at the close: the close, and with it a Stop, stays short. How much
// may wait for a flush adapts to how long flushes take beyond their fixed cost. On memory file
// systems, and where the system lacks the calls, it does nothing.
class WriteBehind
{
public:
    WriteBehind() = default;
    ~WriteBehind();
    WriteBehind(const WriteBehind&) = delete;
    WriteBehind& operator=(const WriteBehind&) = delete;

    // A new file, empty, open as fd.
    void start(int fd);
    // Asked before more is written: false when the disk is more than two windows behind and did not
    // catch up within a few milliseconds. Write nothing then, and ask again after other work.
    bool ready();
    // The file now ends at end. Reports a failed write-back (an I/O error, no space) met since.
    std::error_code wrote(qint64 end);
    // The file was cut back to size.
    void truncated(qint64 size);
    // The file grew to end by blocks reserved without data: nothing there to write back.
    void reserved(qint64 end);
    // Waits for the windows handed over, flushes the rest and drops it from the cache; called before
    // the file is closed. Reports the first failure.
    std::error_code finish();

private:
    struct Window
    {
        qint64 start;
        qint64 length;
        bool started;
    };

    void work();
    void flushWork();
    void stopHelper();

    int m_fd = -1;
    std::atomic<bool> m_enabled = false;
    qint64 m_handedOver = 0; // end of the last window handed to the helper

    std::mutex m_mutex; // guards everything below
    std::condition_variable m_changed;
    std::deque<Window> m_windows; // handed over, not yet written back
    qint64 m_window = 1024 * 1024;
    // Bytes of data (not of reservations, which hold none) handed over, written back by the helper,
    // and written back before the last flush to the device began.
    qint64 m_handedOverBytes = 0;
    qint64 m_writtenBackBytes = 0;
    qint64 m_flushedBytes = 0;
    qint64 m_unflushedLimit = 0; // how far the file may run ahead of the flushes
    qint64 m_bareFlushNs = 0; // the quickest flush seen: its fixed cost
    std::chrono::steady_clock::time_point m_lastFlush {};
    std::error_code m_error;
    bool m_stopping = false;
    std::thread m_helper;
    std::thread m_flusher;
};

} // namespace platform
