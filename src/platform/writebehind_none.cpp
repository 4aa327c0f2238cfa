#include "platform/writebehind.h"

namespace platform {

// No write-behind here: the system writes back on its own.

WriteBehind::~WriteBehind() = default;

void WriteBehind::start(int fd)
{
    m_fd = fd;
}

bool WriteBehind::ready()
{
    return true;
}

std::error_code WriteBehind::wrote(qint64 end)
{
    Q_UNUSED(end);
    return {};
}

void WriteBehind::truncated(qint64 size)
{
    Q_UNUSED(size);
}

void WriteBehind::reserved(qint64 end)
{
    Q_UNUSED(end);
}

std::error_code WriteBehind::finish()
{
    return {};
}

} // namespace platform
