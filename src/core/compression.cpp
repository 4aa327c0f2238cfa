#include "core/compression.h"

namespace fill {

std::optional<qint64> compressionDrop(qint64 startFillable, qint64 written,
                                      const std::function<std::optional<platform::VolumeSpace>()>& space,
                                      const std::function<void()>& settle)
{
    const auto fell = [&] {
        const auto now = space();
        return now ? startFillable - now->fillable : written;
    };
    qint64 drop = fell();
    // Some volumes (btrfs) count what was written only once it is on the disk.
    if (drop < written / 2) {
        settle();
        drop = fell();
    }
    return drop < written / 2 ? std::optional(drop) : std::nullopt;
}

} // namespace fill
