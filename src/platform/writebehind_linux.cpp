#include "platform/writebehind.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <limits>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr qint64 minimumWindow = 256 * 1024;
constexpr qint64 maximumWindow = 8 * 1024 * 1024;
// How long the writing thread waits for the flushes before it goes back to its other work.
constexpr auto catchUpWait = std::chrono::milliseconds(10);
// Waiting longer than this for a window halves the next; much shorter doubles it.
constexpr auto slowWait = std::chrono::milliseconds(16);
constexpr auto fastWait = std::chrono::milliseconds(4);
// Flushes to the device: at least this much new, at most this often, unless the file runs ahead.
constexpr qint64 minimumFlush = 4 * 1024 * 1024;
constexpr auto flushSpacing = std::chrono::milliseconds(100);
// How far the file may run ahead of the flushes: what the device takes to its medium in this long
// beyond a flush's fixed cost, as the last flush showed. At most twice that waits for the flush at
// the close, so a Stop on a disk with a large volatile cache ends about this long after one bare
// flush. It starts low, since nothing is known of the device yet, and at most doubles per flush.
constexpr qint64 minimumUnflushed = 4 * 1024 * 1024;
constexpr qint64 maximumUnflushed = 2048LL * 1024 * 1024;
constexpr qint64 drainNs = 50'000'000;

// Errors that mean the data did not reach the disk, as opposed to a file system without the call.
bool dataLost(int error)
{
    return error == EIO || error == ENOSPC || error == EDQUOT;
}

// Files that live in memory have no disk to write back to.
bool inMemory(int fd)
{
    struct statfs st = {};
    return ::fstatfs(fd, &st) == 0 && (st.f_type == TMPFS_MAGIC || st.f_type == RAMFS_MAGIC);
}

// The limit after a flush that took carried bytes to the medium in extraNs beyond the fixed cost.
qint64 nextUnflushedLimit(qint64 limit, qint64 carried, qint64 extraNs)
{
    const double drained = extraNs > 0 ? static_cast<double>(carried) * drainNs / static_cast<double>(extraNs)
                                       : static_cast<double>(maximumUnflushed);
    const qint64 fits
        = drained < static_cast<double>(maximumUnflushed) ? static_cast<qint64>(drained) : maximumUnflushed;
    return std::clamp(std::min(fits, limit * 2), minimumUnflushed, maximumUnflushed);
}

} // namespace

WriteBehind::~WriteBehind()
{
    stopHelper();
}

void WriteBehind::start(int fd)
{
    stopHelper();
    m_fd = fd;
    m_started = 0;
    m_inFlight.reset();
    m_error = {};
    m_stopping = false;
    m_startedBytes = 0;
    m_flushedBytes = 0;
    m_unflushedLimit = minimumUnflushed;
    m_bareFlushNs = 0;
    m_lastFlush = {};
    m_enabled = fd >= 0 && !inMemory(fd);
    if (m_enabled) {
        try {
            m_flusher = std::thread(&WriteBehind::flushWork, this);
        } catch (const std::system_error&) {
            m_enabled = false; // no thread to be had: the writes go on unflushed, as in memory
        }
    }
}

bool WriteBehind::ready()
{
    if (!m_enabled) {
        return true;
    }
    std::unique_lock lock(m_mutex);
    // Too far ahead of the flushes: wait a little, then let the caller see to its other work.
    return m_changed.wait_for(lock, catchUpWait,
                              [this] { return m_startedBytes - m_flushedBytes <= 2 * m_unflushedLimit; });
}

std::error_code WriteBehind::wrote(qint64 end)
{
    // Each finished window is started at once, then the one before it is waited for: the disk always
    // has the next window while this thread waits, as a plain loop of the two calls has it.
    while (m_enabled && end - m_started >= m_window) {
        const Window window { m_started, m_window };
        m_started += m_window;
        if (::sync_file_range(m_fd, window.start, window.length, SYNC_FILE_RANGE_WRITE) != 0) {
            stopWritingBack(errno);
            break;
        }
        {
            std::lock_guard lock(m_mutex);
            m_startedBytes += window.length;
        }
        m_changed.notify_all();
        if (m_inFlight && !waitFor(*m_inFlight)) {
            break;
        }
        m_inFlight = window;
    }
    std::lock_guard lock(m_mutex);
    return std::exchange(m_error, {});
}

bool WriteBehind::waitFor(const Window& window)
{
    const auto began = std::chrono::steady_clock::now();
    if (::sync_file_range(m_fd, window.start, window.length,
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER)
        != 0) {
        stopWritingBack(errno);
        return false;
    }
    ::posix_fadvise(m_fd, window.start, window.length, POSIX_FADV_DONTNEED);
    const auto waited = std::chrono::steady_clock::now() - began;
    if (waited > slowWait) {
        m_window = std::max(minimumWindow, m_window / 2);
    } else if (waited < fastWait) {
        m_window = std::min(maximumWindow, m_window * 2);
    }
    m_inFlight.reset();
    return true;
}

void WriteBehind::stopWritingBack(int failure)
{
    // A file system without the call: let the system write back on its own from here on.
    m_enabled = false;
    m_inFlight.reset();
    std::lock_guard lock(m_mutex);
    if (dataLost(failure) && !m_error) {
        m_error = { failure, std::system_category() };
    }
    m_stopping = true; // the flusher has nothing to follow any more
    m_changed.notify_all();
}

void WriteBehind::truncated(qint64 size)
{
    m_started = std::min(m_started, size);
}

void WriteBehind::reserved(qint64 end)
{
    m_started = std::max(m_started, end);
}

std::error_code WriteBehind::finish()
{
    // Nothing is written any more: one flush takes all of the file to the device, the window still
    // in flight included. The flusher may be in a flush of its own; this one goes alongside it rather
    // than after it.
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    int flushError = 0;
    if (m_fd >= 0 && ::fdatasync(m_fd) != 0) {
        flushError = errno;
    }
    stopHelper();
    std::error_code error = std::exchange(m_error, {});
    if (m_fd < 0) {
        return error;
    }
    if (flushError != 0 && dataLost(flushError) && !error) {
        error = { flushError, std::system_category() };
    }
    ::posix_fadvise(m_fd, 0, 0, POSIX_FADV_DONTNEED);
    m_fd = -1;
    return error;
}

void WriteBehind::stopHelper()
{
    if (!m_flusher.joinable()) {
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_flusher.join();
    m_enabled = false;
    m_inFlight.reset();
}

void WriteBehind::flushWork()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        const auto due = [this] {
            // What is on its way counts: the flush waits for it, and meets a failure of the device
            // while the run still goes on.
            const qint64 pending = m_startedBytes - m_flushedBytes;
            return pending >= m_unflushedLimit
                || (pending >= minimumFlush && std::chrono::steady_clock::now() - m_lastFlush >= flushSpacing);
        };
        m_changed.wait_for(lock, flushSpacing, [&] { return m_stopping || due(); });
        if (m_stopping) {
            return;
        }
        if (!due()) {
            continue;
        }
        const qint64 target = m_startedBytes;
        const qint64 carried = target - m_flushedBytes;
        lock.unlock();
        const auto began = std::chrono::steady_clock::now();
        const int failure = ::fdatasync(m_fd) == 0 ? 0 : errno;
        const auto ended = std::chrono::steady_clock::now();
        const qint64 took = std::chrono::duration_cast<std::chrono::nanoseconds>(ended - began).count();
        lock.lock();
        m_lastFlush = ended;
        if (failure != 0) {
            // Reported at once, and at the close, where the final flush meets it again.
            if (dataLost(failure) && !m_error) {
                m_error = { failure, std::system_category() };
            }
            m_flushedBytes = std::numeric_limits<qint64>::max() / 4; // flush no more; never hold the writer
            m_changed.notify_all();
            return;
        }
        m_flushedBytes = std::max(m_flushedBytes, target);
        m_bareFlushNs = m_bareFlushNs == 0 ? took : std::min(m_bareFlushNs, took);
        m_unflushedLimit = nextUnflushedLimit(m_unflushedLimit, carried, took - m_bareFlushNs);
        m_changed.notify_all();
    }
}

} // namespace platform
