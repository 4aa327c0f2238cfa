#include "platform/writebehind.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr qint64 minimumWindow = 256 * 1024;
constexpr qint64 maximumWindow = 8 * 1024 * 1024;
// Waiting longer than this for a window halves the next; much shorter doubles it.
constexpr auto slowWait = std::chrono::milliseconds(16);
constexpr auto fastWait = std::chrono::milliseconds(4);

// Errors that mean the data did not reach the disk, as opposed to a file system without the call.
bool dataLost(int error)
{
    return error == EIO || error == ENOSPC || error == EDQUOT;
}

} // namespace

std::error_code WriteBehind::wrote(qint64 end)
{
    while (m_enabled && end - m_queued >= m_window) {
        const qint64 start = m_queued;
        const qint64 length = m_window;
        if (::sync_file_range(m_fd, start, length, SYNC_FILE_RANGE_WRITE) != 0) {
            if (dataLost(errno)) {
                return { errno, std::system_category() };
            }
            m_enabled = false;
            break;
        }
        if (m_previousLength > 0) {
            const auto began = std::chrono::steady_clock::now();
            if (::sync_file_range(m_fd, m_previousStart, m_previousLength,
                                  SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER)
                != 0) {
                if (dataLost(errno)) {
                    return { errno, std::system_category() };
                }
                m_enabled = false;
                break;
            }
            ::posix_fadvise(m_fd, m_previousStart, m_previousLength, POSIX_FADV_DONTNEED);
            const auto waited = std::chrono::steady_clock::now() - began;
            if (waited > slowWait) {
                m_window = std::max(minimumWindow, m_window / 2);
            } else if (waited < fastWait) {
                m_window = std::min(maximumWindow, m_window * 2);
            }
        }
        m_previousStart = start;
        m_previousLength = length;
        m_queued = start + length;
    }
    return {};
}

void WriteBehind::truncated(qint64 size)
{
    m_queued = std::min(m_queued, size);
    m_previousLength = std::clamp<qint64>(size - m_previousStart, 0, m_previousLength);
}

std::error_code WriteBehind::finish()
{
    if (::fdatasync(m_fd) != 0 && dataLost(errno)) {
        return { errno, std::system_category() };
    }
    ::posix_fadvise(m_fd, 0, 0, POSIX_FADV_DONTNEED);
    return {};
}

} // namespace platform
