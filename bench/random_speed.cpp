// How fast the fill engine's random data is made: one core filling a 1 MiB run buffer again and
// again, as --data random does before every run. Prints key=value pairs for fill-bench.sh.
//   random_speed [SECONDS]

#include "core/fastrandom.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char* argv[])
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
    std::vector<char> buffer(1024 * 1024);
    fill::FastRandom random(42);
    // One unmeasured pass: the buffer's pages are touched before the clock starts.
    random.fill(buffer.data(), static_cast<qint64>(buffer.size()));
    unsigned long long bytes = 0;
    unsigned char check = 0;
    const auto start = std::chrono::steady_clock::now();
    double elapsed = 0;
    while (elapsed < seconds) {
        for (int i = 0; i < 64; ++i) {
            random.fill(buffer.data(), static_cast<qint64>(buffer.size()));
            check ^= static_cast<unsigned char>(buffer[static_cast<size_t>(i) * 4099 % buffer.size()]);
        }
        bytes += 64ULL * buffer.size();
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    // check keeps the compiler from dropping the fills.
    std::printf("bytes=%llu seconds=%.6f gb_per_s=%.2f check=%u\n", bytes, elapsed, bytes / elapsed / 1e9, check);
    return 0;
}
