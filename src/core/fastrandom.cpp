#include "core/fastrandom.h"

#include <cstring>

namespace fill {

FastRandom::FastRandom(quint64 seed)
{
    // splitmix64 spreads any seed, 0 included, over a state that is never all zeros.
    for (quint64& word : m_state) {
        seed += 0x9E3779B97F4A7C15ULL;
        quint64 z = seed;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        word = z ^ (z >> 31);
    }
}

void FastRandom::fill(char* data, qint64 size)
{
    qint64 done = 0;
    for (; done + 8 <= size; done += 8) {
        const quint64 word = next();
        std::memcpy(data + done, &word, 8);
    }
    if (done < size) {
        const quint64 word = next();
        std::memcpy(data + done, &word, static_cast<size_t>(size - done));
    }
}

} // namespace fill
