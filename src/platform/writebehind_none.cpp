#include "platform/writebehind.h"

namespace platform {

std::error_code WriteBehind::wrote(qint64 end)
{
    Q_UNUSED(end);
    return {};
}

void WriteBehind::truncated(qint64 size)
{
    Q_UNUSED(size);
}

std::error_code WriteBehind::finish()
{
    return {};
}

} // namespace platform
