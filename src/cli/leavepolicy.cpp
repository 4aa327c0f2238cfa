#include "cli/leavepolicy.h"

#include "fill/sizetext.h"

#include <algorithm>

namespace cli {

namespace {

// Farther than this from the space to leave, runs go at full length; nearer, in shrinking steps.
constexpr qint64 leaveSlack = 4 * 1024 * 1024;

qint64 roundUp(qint64 bytes, qint64 unit)
{
    return (bytes + unit - 1) / unit * unit;
}

} // namespace

LeavePolicy::LeavePolicy(qint64 leave, SpaceQuery space, std::function<void()> settle)
    : m_leave(leave)
    , m_space(std::move(space))
    , m_settle(std::move(settle))
{
}

qint64 LeavePolicy::runLimit(qint64 written) const
{
    // Re-read the volume before every run, so other writers are accounted for. Near the end the
    // figure can lag behind what was written or freed: settle the volume first, then write half of
    // what may still go, so the last runs close in on the space to leave in a few steps.
    auto now = m_space();
    if (now && now->available - m_leave > leaveSlack) {
        return fill::fillTheDisk;
    }
    m_settle();
    now = m_space();
    if (!now) {
        return 0;
    }
    const qint64 margin = now->available - m_leave;
    if (margin > leaveSlack) {
        return fill::fillTheDisk;
    }
    const qint64 unit = std::max<qint64>(1, now->blockSize);
    auto takes = [&](qint64 run) { return roundUp(written + run, unit) - roundUp(written, unit); };
    qint64 run = margin / 2 / fill::blockSize * fill::blockSize;
    if (run < fill::blockSize || takes(run) > margin) {
        run = fill::blockSize;
    }
    return takes(run) <= margin ? run : 0;
}

std::optional<qint64> LeavePolicy::trimTo(qint64 length) const
{
    // The last block may take more than it seemed (a new block of the file's extent tree, say):
    // give back whole blocks until the space to leave is free again.
    m_settle();
    const auto now = m_space();
    if (!now || now->available >= m_leave || length <= fill::blockSize) {
        return std::nullopt;
    }
    return std::max(fill::blockSize, length - roundUp(m_leave - now->available, fill::blockSize));
}

bool LeavePolicy::headerBreaksTheFloor(const platform::VolumeSpace& space, qint64 room) const
{
    // The header block takes a whole allocation unit of the volume, more than its own 1024 bytes.
    return room - roundUp(fill::blockSize, std::max<qint64>(1, space.blockSize)) < m_leave;
}

} // namespace cli
