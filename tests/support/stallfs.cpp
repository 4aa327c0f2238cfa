// stallfs: a FUSE file system for tests that passes everything through to a backing folder and, on
// command, stalls or fails writes, flushes and fsyncs, or cuts writes short: a slow USB stick, a
// network share or a dying disk, on demand.
//
//   stallfs BACKING MOUNTPOINT
//
// Commands are written to the file ".stallfs" at the root of the mount, as key=value pairs:
//   write_stall_ms=N write_stall_every=K   every K-th write waits N ms first (K=0: none)...
//   write_stall_limit=L                     ...L times at most (0: no limit)
//   fsync_stall_ms=N flush_stall_ms=N      fsync and fdatasync / every close wait N ms first
//   fsync_drain_mbps=R                      an fsync also waits for what was written since the last
//                                           one, at R MB/s: a disk with a large volatile cache
//   write_errno=E write_fail_at=OFFSET     a write reaching OFFSET fails with E (EIO, ENOSPC, EDQUOT)
//   fsync_errno=E flush_errno=E            fsync / close fail with E (0: succeed)
//   short_writes=1                         every write takes half of what it is given
// Reading ".stallfs" tells what happened: writes, stalled writes, and whether a stall is under way.

#define FUSE_USE_VERSION 31

#include <fuse3/fuse.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr const char* controlPath = "/.stallfs";
constexpr uint64_t controlHandle = ~uint64_t(0);

int backing = -1;

std::mutex configMutex;
std::map<std::string, long long> config;
std::atomic<long long> writes { 0 };
std::atomic<long long> stalledWrites { 0 };
std::atomic<int> stalling { 0 };
std::atomic<long long> fsyncs { 0 };
std::atomic<long long> flushes { 0 };
std::atomic<long long> unsyncedBytes { 0 };

long long setting(const char* key)
{
    const std::lock_guard lock(configMutex);
    const auto it = config.find(key);
    return it == config.end() ? 0 : it->second;
}

int errnoByName(const std::string& name)
{
    static const std::map<std::string, int> names { { "EIO", EIO }, { "ENOSPC", ENOSPC }, { "EDQUOT", EDQUOT } };
    const auto it = names.find(name);
    return it != names.end() ? it->second : std::atoi(name.c_str());
}

void command(const std::string& text)
{
    const std::lock_guard lock(configMutex);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of(" \n\t", start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string pair = text.substr(start, end - start);
        if (const size_t equals = pair.find('='); equals != std::string::npos) {
            const std::string key = pair.substr(0, equals);
            const std::string value = pair.substr(equals + 1);
            config[key] = key.find("errno") != std::string::npos ? errnoByName(value) : std::atoll(value.c_str());
        }
        start = end + 1;
    }
}

std::string status()
{
    return "writes=" + std::to_string(writes.load()) + " stalled_writes=" + std::to_string(stalledWrites.load())
        + " stalling=" + std::to_string(stalling.load()) + " fsyncs=" + std::to_string(fsyncs.load())
        + " flushes=" + std::to_string(flushes.load()) + "\n";
}

void stall(long long ms)
{
    if (ms > 0) {
        ++stalling;
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        --stalling;
    }
}

// The path below the backing folder: "." for the root.
std::string relative(const char* path)
{
    return path[1] == '\0' ? std::string(".") : std::string(path + 1);
}

int result(int value)
{
    return value < 0 ? -errno : value;
}

int doGetattr(const char* path, struct stat* st, fuse_file_info* fi)
{
    if (std::strcmp(path, controlPath) == 0) {
        std::memset(st, 0, sizeof *st);
        st->st_mode = S_IFREG | 0666;
        st->st_nlink = 1;
        return 0;
    }
    if (fi && fi->fh != controlHandle) {
        return result(::fstat(static_cast<int>(fi->fh), st));
    }
    return result(::fstatat(backing, relative(path).c_str(), st, AT_SYMLINK_NOFOLLOW));
}

int doReaddir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags)
{
    const int fd = ::openat(backing, relative(path).c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        return -errno;
    }
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return -errno;
    }
    while (dirent* entry = ::readdir(dir)) {
        fill(buffer, entry->d_name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    }
    ::closedir(dir);
    return 0;
}

int doOpen(const char* path, fuse_file_info* fi)
{
    if (std::strcmp(path, controlPath) == 0) {
        fi->fh = controlHandle;
        fi->direct_io = 1;
        return 0;
    }
    const int fd = ::openat(backing, relative(path).c_str(), fi->flags & ~O_NOFOLLOW);
    if (fd < 0) {
        return -errno;
    }
    fi->fh = static_cast<uint64_t>(fd);
    return 0;
}

int doCreate(const char* path, mode_t mode, fuse_file_info* fi)
{
    const int fd = ::openat(backing, relative(path).c_str(), fi->flags | O_CREAT, mode);
    if (fd < 0) {
        return -errno;
    }
    fi->fh = static_cast<uint64_t>(fd);
    return 0;
}

int doRead(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* fi)
{
    if (fi->fh == controlHandle) {
        const std::string text = status();
        if (offset >= static_cast<off_t>(text.size())) {
            return 0;
        }
        const size_t n = std::min(size, text.size() - static_cast<size_t>(offset));
        std::memcpy(buffer, text.data() + offset, n);
        return static_cast<int>(n);
    }
    return result(static_cast<int>(::pread(static_cast<int>(fi->fh), buffer, size, offset)));
}

int doWrite(const char*, const char* data, size_t size, off_t offset, fuse_file_info* fi)
{
    if (fi->fh == controlHandle) {
        command(std::string(data, size));
        return static_cast<int>(size);
    }
    const long long count = ++writes;
    unsyncedBytes += static_cast<long long>(size);
    const long long every = setting("write_stall_every");
    const long long limit = setting("write_stall_limit");
    if (every > 0 && count % every == 0 && (limit == 0 || stalledWrites < limit)) {
        ++stalledWrites;
        stall(setting("write_stall_ms"));
    }
    if (const long long failAt = setting("write_fail_at");
        setting("write_errno") != 0 && failAt >= 0 && offset + static_cast<off_t>(size) > failAt) {
        if (offset >= failAt) {
            return -static_cast<int>(setting("write_errno"));
        }
        size = static_cast<size_t>(failAt - offset); // what still fits, as a full disk takes it
    }
    if (setting("short_writes") != 0 && size > 1) {
        size /= 2;
    }
    return result(static_cast<int>(::pwrite(static_cast<int>(fi->fh), data, size, offset)));
}

int doFlush(const char*, fuse_file_info* fi)
{
    if (fi->fh == controlHandle) {
        return 0;
    }
    ++flushes;
    stall(setting("flush_stall_ms"));
    if (const long long error = setting("flush_errno")) {
        return -static_cast<int>(error);
    }
    return 0;
}

int doFsync(const char*, int dataOnly, fuse_file_info* fi)
{
    if (fi->fh == controlHandle) {
        return 0;
    }
    ++fsyncs;
    stall(setting("fsync_stall_ms"));
    if (const long long rate = setting("fsync_drain_mbps"); rate > 0) {
        stall(unsyncedBytes.exchange(0) / 1000 / rate); // bytes / (R * 10^6 B/s), in ms
    }
    if (const long long error = setting("fsync_errno")) {
        return -static_cast<int>(error);
    }
    const int fd = static_cast<int>(fi->fh);
    return result(dataOnly ? ::fdatasync(fd) : ::fsync(fd));
}

int doRelease(const char*, fuse_file_info* fi)
{
    if (fi->fh != controlHandle) {
        ::close(static_cast<int>(fi->fh));
    }
    return 0;
}

int doTruncate(const char* path, off_t size, fuse_file_info* fi)
{
    if (fi && fi->fh != controlHandle) {
        return result(::ftruncate(static_cast<int>(fi->fh), size));
    }
    const int fd = ::openat(backing, relative(path).c_str(), O_WRONLY);
    if (fd < 0) {
        return -errno;
    }
    const int done = result(::ftruncate(fd, size));
    ::close(fd);
    return done;
}

int doStatfs(const char*, struct statvfs* st)
{
    return result(::fstatvfs(backing, st));
}

int doUnlink(const char* path)
{
    return result(::unlinkat(backing, relative(path).c_str(), 0));
}

int doMkdir(const char* path, mode_t mode)
{
    return result(::mkdirat(backing, relative(path).c_str(), mode));
}

int doRmdir(const char* path)
{
    return result(::unlinkat(backing, relative(path).c_str(), AT_REMOVEDIR));
}

int doRename(const char* from, const char* to, unsigned int flags)
{
    if (flags != 0) {
        return -EINVAL;
    }
    return result(::renameat(backing, relative(from).c_str(), backing, relative(to).c_str()));
}

int doSymlink(const char* target, const char* path)
{
    return result(::symlinkat(target, backing, relative(path).c_str()));
}

int doReadlink(const char* path, char* buffer, size_t size)
{
    const ssize_t n = ::readlinkat(backing, relative(path).c_str(), buffer, size - 1);
    if (n < 0) {
        return -errno;
    }
    buffer[n] = '\0';
    return 0;
}

int doChmod(const char* path, mode_t mode, fuse_file_info*)
{
    return result(::fchmodat(backing, relative(path).c_str(), mode, 0));
}

int doChown(const char* path, uid_t uid, gid_t gid, fuse_file_info*)
{
    return result(::fchownat(backing, relative(path).c_str(), uid, gid, AT_SYMLINK_NOFOLLOW));
}

int doUtimens(const char* path, const timespec times[2], fuse_file_info*)
{
    return result(::utimensat(backing, relative(path).c_str(), times, AT_SYMLINK_NOFOLLOW));
}

int doFallocate(const char*, int mode, off_t offset, off_t length, fuse_file_info* fi)
{
    return result(::fallocate(static_cast<int>(fi->fh), mode, offset, length));
}

void* doInit(fuse_conn_info* connection, fuse_config* cfg)
{
    connection->max_write = 1024 * 1024;
    cfg->use_ino = 0;
    cfg->attr_timeout = 0;
    cfg->entry_timeout = 0;
    cfg->negative_timeout = 0;
    return nullptr;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: stallfs BACKING MOUNTPOINT\n");
        return 2;
    }
    // Gone with the test that started it, even one that crashed: the mount goes with it.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    backing = ::open(argv[1], O_RDONLY | O_DIRECTORY);
    if (backing < 0) {
        std::perror(argv[1]);
        return 1;
    }
    config["write_fail_at"] = -1;
    fuse_operations operations {};
    operations.getattr = doGetattr;
    operations.readdir = doReaddir;
    operations.open = doOpen;
    operations.create = doCreate;
    operations.read = doRead;
    operations.write = doWrite;
    operations.flush = doFlush;
    operations.fsync = doFsync;
    operations.release = doRelease;
    operations.truncate = doTruncate;
    operations.statfs = doStatfs;
    operations.unlink = doUnlink;
    operations.mkdir = doMkdir;
    operations.rmdir = doRmdir;
    operations.rename = doRename;
    operations.symlink = doSymlink;
    operations.readlink = doReadlink;
    operations.chmod = doChmod;
    operations.chown = doChown;
    operations.utimens = doUtimens;
    operations.fallocate = doFallocate;
    operations.init = doInit;
    // Foreground, many threads: a stalled write must not hold up statfs or a read of the control file.
    char* fuseArgs[] = { argv[0], const_cast<char*>("-f"), const_cast<char*>("-o"),
                         const_cast<char*>("fsname=stallfs,max_threads=16"), argv[2] };
    return fuse_main(5, fuseArgs, &operations, nullptr);
}
