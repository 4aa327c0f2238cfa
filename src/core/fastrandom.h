#pragma once

#include <QtGlobal>

namespace fill {

// xoshiro256**: several GB/s on one core, and nothing a compressing or deduplicating file system can
// shrink. Not for anything secret.
class FastRandom
{
public:
    explicit FastRandom(quint64 seed = 0);

    quint64 next()
    {
        const quint64 result = rotate(m_state[1] * 5, 7) * 9;
        const quint64 t = m_state[1] << 17;
        m_state[2] ^= m_state[0];
        m_state[3] ^= m_state[1];
        m_state[1] ^= m_state[2];
        m_state[0] ^= m_state[3];
        m_state[2] ^= t;
        m_state[3] = rotate(m_state[3], 45);
        return result;
    }

    // Fills size bytes at data.
    void fill(char* data, qint64 size);

private:
    static quint64 rotate(quint64 x, int k) { return (x << k) | (x >> (64 - k)); }

    quint64 m_state[4];
};

} // namespace fill
