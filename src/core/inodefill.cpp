#include "core/inodefill.h"

#include "platform/outputfile.h"

#include <algorithm>
#include <utility>

namespace fill {

bool inodesTooFewToLeave(qint64 available, qint64 leave)
{
    // The folder and its marker take an inode each.
    return available < 0 || available - 2 < leave;
}

InodeFill::InodeFill(platform::FillFolder& folder, std::optional<qint64> leave, InodeHooks hooks)
    : m_folder(folder)
    , m_leave(leave)
    , m_hooks(std::move(hooks))
{
}

InodeResult InodeFill::fill()
{
    qint64 beforeCheck = 0;
    for (;;) {
        if (m_hooks.stopRequested && m_hooks.stopRequested()) {
            return { Outcome::Stopped, false, {} };
        }
        if (m_leave && beforeCheck-- <= 0) {
            const auto available = m_folder.inodesAvailable();
            if (!available || *available <= *m_leave) {
                return {};
            }
            // Half the way to the inodes to leave before the next reading: others may take some.
            beforeCheck = std::max<qint64>(0, (*available - *m_leave) / 2 - 1);
        }
        if (const auto error = m_folder.addFile()) {
            if (platform::isOutOfSpace(error)) {
                return { Outcome::DiskFull, platform::isQuotaExceeded(error), {} };
            }
            return { Outcome::WriteFailed, false, error };
        }
        if (m_hooks.made && m_folder.files() % 256 == 0) {
            m_hooks.made(m_folder.files());
        }
    }
}

qint64 InodeFill::topUp()
{
    const auto now = m_folder.inodesAvailable();
    if (!now || *now <= m_leave.value_or(0)) {
        return 0;
    }
    const qint64 had = m_folder.files();
    fill();
    return m_folder.files() - had;
}

} // namespace fill
