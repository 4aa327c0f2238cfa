#include "core/leavepolicy.h"

#include "core/sizetext.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace cli {

namespace {

// Farther than this from the space to leave, runs go at full length; nearer, in shrinking steps.
constexpr qint64 leaveSlack = 4 * 1024 * 1024;

qint64 roundUp(qint64 bytes, qint64 unit)
{
    return (bytes + unit - 1) / unit * unit;
}

} // namespace

LeavePolicy::LeavePolicy(qint64 leave, SpaceQuery space, std::function<void(qint64 length)> settle)
    : m_leave(leave)
    , m_space(std::move(space))
    , m_settle(std::move(settle))
{
}

std::optional<platform::VolumeSpace> LeavePolicy::settled(qint64 written)
{
    m_settle(written);
    const auto now = m_space();
    if (now) {
        m_settledMargin = now->available - m_leave;
        m_settledWritten = written;
    }
    return now;
}

std::optional<platform::VolumeSpace> LeavePolicy::endReading(qint64 written) const
{
    return m_endWritten == written ? m_end : std::nullopt;
}

qint64 LeavePolicy::runLimit(qint64 written)
{
    m_stopped = false;
    // Re-read the volume before every run, so other writers are accounted for.
    auto now = m_space();
    if (!now) {
        return 0;
    }
    qint64 margin = now->available - m_leave;
    if (m_settledMargin) {
        margin = std::min(margin, *m_settledMargin - (written - m_settledWritten));
    }
    // Nearer than a block above the slack, a far-off run could not go: that is near the floor.
    const qint64 nearFloor = leaveSlack + fill::blockSize;
    if (!m_settledMargin || margin < nearFloor || margin <= *m_settledMargin / 2) {
        now = settled(written);
        if (!now) {
            return 0;
        }
        margin = now->available - m_leave;
    }
    // Far from the floor, a slack stays for what the volume takes beside the data (the blocks that
    // map a reserved extent, say); near it, half of what may still go, so the last runs close in on
    // the floor in a few steps.
    if (margin >= nearFloor) {
        return margin - leaveSlack;
    }
    // A unit the file ends in part way counts as taken again: a copy-on-write volume (btrfs) writes
    // it anew elsewhere, and frees the old one only later.
    const qint64 unit = std::max<qint64>(1, now->blockSize);
    auto takes = [&](qint64 run) { return roundUp(written + run, unit) - written / unit * unit; };
    qint64 run = margin / 2 / fill::blockSize * fill::blockSize;
    if (run < fill::blockSize || takes(run) > margin) {
        run = fill::blockSize;
    }
    if (takes(run) > margin) {
        m_stopped = true;
        m_end = now;
        m_endWritten = written;
        return 0;
    }
    return run;
}

std::optional<qint64> LeavePolicy::trimTo(qint64 length)
{
    // A run that stopped on a settled reading ended on it, unless another program has taken space
    // since; one that had to be cut back, on the reading after its last cut.
    const bool stopped = std::exchange(m_stopped, false);
    if (stopped) {
        if (const auto now = m_space(); now && now->available >= m_leave) {
            return std::nullopt;
        }
    }
    // The last block may take more than it seemed (a new block of the file's extent tree, say):
    // give back whole blocks until the space to leave is free again.
    const auto now = settled(length);
    if (!now || now->available >= m_leave || length <= fill::blockSize) {
        if (!stopped) {
            m_end = now;
            m_endWritten = length;
        }
        return std::nullopt;
    }
    return std::max(fill::blockSize, length - roundUp(m_leave - now->available, fill::blockSize));
}

bool LeavePolicy::headerBreaksTheFloor(const platform::VolumeSpace& space, qint64 room) const
{
    // The header block takes a whole allocation unit of the volume, more than its own 1024 bytes.
    return room - roundUp(fill::blockSize, std::max<qint64>(1, space.blockSize)) < m_leave;
}

qint64 leaveForUse(const platform::VolumeSpace& space, double percent)
{
    const qint64 unit = std::max<qint64>(1, space.blockSize);
    const qint64 used = (space.total - space.free) / unit;
    const qint64 all = used + space.available / unit;
    const auto wanted = static_cast<qint64>(std::ceil(percent));
    // The fewest used blocks that show as wanted: 100 * used > (wanted - 1) * all.
    const qint64 fewest = static_cast<qint64>((static_cast<long double>(wanted - 1) * all) / 100) + 1;
    return std::max<qint64>(0, all - fewest) * unit;
}

qint64 leaveForPercent(const platform::VolumeSpace& space, double percent)
{
    return static_cast<qint64>(std::ceil(static_cast<double>(space.total) * percent / 100));
}

qint64 leaveForUseOnUnits(const platform::VolumeSpace& space, qint64 leave, qint64 unit, double percent)
{
    // df shows the percent at most that much available; the volume takes whole units, unless a unit
    // more would show a higher percent.
    const qint64 take = space.available - leave;
    const qint64 onUnits = space.available - roundUp(take, unit);
    return percent > 99 || onUnits > leaveForUse(space, percent + 1) ? onUnits : leave;
}

} // namespace cli
