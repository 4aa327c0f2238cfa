#pragma once

#include <QtGlobal>

#include <system_error>

namespace platform {

// Write-behind for a file written from start to end: hands each finished window of the file to
// the disk at once and drops the window before it from the page cache, so a long fill neither
// evicts the cache of the programs under test nor stalls in write() under dirty-page throttling.
// The window adapts to the device: it shrinks when waiting for it takes long. Where the system
// has no such calls it does nothing.
class WriteBehind
{
public:
    explicit WriteBehind(int fd)
        : m_fd(fd)
    {
    }

    // The file now ends at offset end. Reports a failed write-back (an I/O error, no space).
    std::error_code wrote(qint64 end);
    // The file was cut back to size.
    void truncated(qint64 size);
    // Flushes the rest and drops it from the cache; called before the file is closed.
    std::error_code finish();

private:
    int m_fd;
    bool m_enabled = true;
    qint64 m_window = 1024 * 1024;
    qint64 m_queued = 0; // end of the last window handed to the disk
    qint64 m_previousStart = 0;
    qint64 m_previousLength = 0;
};

} // namespace platform
