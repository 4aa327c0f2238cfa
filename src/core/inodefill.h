#pragma once

#include "core/fillengine.h"
#include "platform/fillfolder.h"

#include <QtGlobal>

#include <functional>
#include <optional>
#include <system_error>

namespace fill {

// Whether a volume with this many inodes available has room for a fill folder, its marker and the
// inodes to leave; unknown (negative) counts have none.
bool inodesTooFewToLeave(qint64 available, qint64 leave);

struct InodeHooks
{
    std::function<bool()> stopRequested; // asked before every file
    std::function<void(qint64 files)> made; // told the count now and then (every 256 files)
};

struct InodeResult
{
    Outcome outcome = Outcome::TargetReached;
    bool quotaFull = false; // DiskFull: the user's quota, not the volume
    std::error_code error; // WriteFailed: why
};

// Fills a made folder with empty files until one cannot be made, a stop is asked for, or only the
// inodes to leave remain. Near those, the count available is read again often, as others take
// inodes too.
class InodeFill
{
public:
    InodeFill(platform::FillFolder& folder, std::optional<qint64> leave, InodeHooks hooks);

    InodeResult fill();
    // Fills again when the volume has more than the inodes to leave; the files it added.
    qint64 topUp();

private:
    platform::FillFolder& m_folder;
    std::optional<qint64> m_leave;
    InodeHooks m_hooks;
};

} // namespace fill
