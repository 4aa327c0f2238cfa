#pragma once

#include "platform/filesystem.h"

#include <QtGlobal>

#include <functional>
#include <optional>

namespace cli {

// Keeps a floor of available space under a fill: how much the next run of blocks may write, and how
// far to cut the file back when the last blocks took more than they seemed to.
class LeavePolicy
{
public:
    using SpaceQuery = std::function<std::optional<platform::VolumeSpace>()>;

    // leave: the bytes to keep available. space: reads the volume now. settle: has the volume count
    // what is held back (delayed allocation, an uncommitted journal); slow, for the end of a run.
    LeavePolicy(qint64 leave, SpaceQuery space, std::function<void()> settle);

    // The most bytes the next run may write, given those written so far (the engine's runLimit).
    qint64 runLimit(qint64 written) const;
    // The length to cut a file of this length back to so the floor holds again (the engine's trimTo).
    std::optional<qint64> trimTo(qint64 length) const;

    // Whether a header block alone, on a volume with this much room, would break the floor.
    bool headerBreaksTheFloor(const platform::VolumeSpace& space, qint64 room) const;

    qint64 leave() const { return m_leave; }

private:
    qint64 m_leave;
    SpaceQuery m_space;
    std::function<void()> m_settle;
};

} // namespace cli
