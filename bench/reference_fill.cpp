// A plain POSIX fill loop with write-behind, no Qt: the yardstick the product's writers are held to.
// Writes 1 MiB runs of bytes 255 until the volume is full, then 1 KiB writes until one fails, then
// fsyncs. Prints "<bytes written> <seconds>", the time taken from open to close.
//
//   reference_fill FILE

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr off_t runBytes = 1024 * 1024;
constexpr off_t smallBytes = 1024;
constexpr off_t window = 8 * 1024 * 1024;

bool outOfSpace(int error)
{
    return error == ENOSPC || error == EDQUOT;
}

// Writes all of size bytes unless a write fails; returns what was written and leaves errno set on failure.
off_t writeAll(int fd, const char* data, off_t size, bool& failed)
{
    off_t done = 0;
    failed = false;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, static_cast<size_t>(size - done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            failed = true;
            break;
        }
        done += n;
    }
    return done;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: reference_fill FILE\n");
        return 2;
    }
    const auto started = std::chrono::steady_clock::now();
    const int fd = ::open(argv[1], O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        std::fprintf(stderr, "reference_fill: %s: %s\n", argv[1], std::strerror(errno));
        return 2;
    }
    const std::vector<char> buffer(runBytes, static_cast<char>(0xFF));

    off_t size = 0;
    off_t queued = 0; // end of the last window handed to the disk
    off_t previous = -1; // start of the window handed over before it
    bool failed = false;
    while (!failed) {
        size += writeAll(fd, buffer.data(), runBytes, failed);
        // Start each finished window on its way at once, then wait for the one before it and drop
        // it from the cache, so dirty pages never pile up to the throttling limit.
        while (size - queued >= window) {
            ::sync_file_range(fd, queued, window, SYNC_FILE_RANGE_WRITE);
            if (previous >= 0) {
                ::sync_file_range(fd, previous, window,
                                  SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
                ::posix_fadvise(fd, previous, window, POSIX_FADV_DONTNEED);
            }
            previous = queued;
            queued += window;
        }
    }
    if (!outOfSpace(errno)) {
        std::fprintf(stderr, "reference_fill: write: %s\n", std::strerror(errno));
        return 1;
    }
    // A run that does not fit may still leave room for smaller writes.
    for (failed = false; !failed;) {
        size += writeAll(fd, buffer.data(), smallBytes, failed);
    }
    if (::fsync(fd) != 0 && !outOfSpace(errno)) {
        std::fprintf(stderr, "reference_fill: fsync: %s\n", std::strerror(errno));
        return 1;
    }
    ::close(fd);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%lld %.6f\n", static_cast<long long>(size), seconds);
    return 0;
}
