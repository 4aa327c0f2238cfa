#pragma once

#include "platform/filesystem.h"

#include <QtGlobal>

#include <functional>
#include <optional>

namespace cli {

// Keeps a floor of available space under a fill: how much the next run of blocks may write, and how
// far to cut the file back when the last blocks took more than they seemed to. A volume may count
// what is written late (btrfs counts data only once it is on the disk): a reading is trusted only as
// far as the last settled reading, less what was written since; the volume is settled again at the
// start, whenever that room has halved, and near the floor, so the floor is approached in steps
// that shrink with the room left and never more is asked for than the floor allows.
class LeavePolicy
{
public:
    using SpaceQuery = std::function<std::optional<platform::VolumeSpace>()>;

    // leave: the bytes to keep available. space: reads the volume now. settle: has the volume count
    // what a file of the given length takes, what is held back included (delayed allocation, an
    // uncommitted journal, blocks taken ahead beyond the file's end); slow, for the end of a run.
    LeavePolicy(qint64 leave, SpaceQuery space, std::function<void(qint64 length)> settle);

    // The most bytes the next run may write, given those written so far (the engine's runLimit).
    qint64 runLimit(qint64 written);
    // The length to cut a file of this length back to so the floor holds again (the engine's trimTo).
    // Settles and reads the volume again each time, so each cut is judged by what the last one gave
    // back; the settled reading a run just stopped on stands while the floor still holds.
    std::optional<qint64> trimTo(qint64 length);

    // Whether a header block alone, on a volume with this much room, would break the floor.
    bool headerBreaksTheFloor(const platform::VolumeSpace& space, qint64 room) const;
    // The settled reading a run ended on, if the file is still written bytes long: the one the last
    // run limit stopped on, or the one after the last cut (or at the size asked for).
    std::optional<platform::VolumeSpace> endReading(qint64 written) const;

    qint64 leave() const { return m_leave; }
    void setLeave(qint64 leave) { m_leave = leave; }

private:
    // Settles the volume and reads it, for a file of written bytes.
    std::optional<platform::VolumeSpace> settled(qint64 written);

    qint64 m_leave;
    SpaceQuery m_space;
    std::function<void(qint64 length)> m_settle;
    std::optional<qint64> m_settledMargin; // available above the floor at the last settled reading...
    qint64 m_settledWritten = 0; // ...with the file this long
    std::optional<platform::VolumeSpace> m_end; // the reading the run ended on...
    qint64 m_endWritten = -1; // ...with the file this long
    bool m_stopped = false; // the last run limit stopped the run: on m_end, which stands until a cut
};

// The bytes to leave available so that df's Use% of the volume is at least percent: df counts
// used = total - free and shows used / (used + available), rounded up.
qint64 leaveForUse(const platform::VolumeSpace& space, double percent);
// The bytes to leave available for percent of the whole volume.
qint64 leaveForPercent(const platform::VolumeSpace& space, double percent);
// The bytes to leave for a Use% of percent on a volume whose allocation unit is larger than its
// block (ext4 with bigalloc): the fill takes whole units, so leave is moved to a unit's edge unless
// that would show a higher percent.
qint64 leaveForUseOnUnits(const platform::VolumeSpace& space, qint64 leave, qint64 unit, double percent);

} // namespace cli
