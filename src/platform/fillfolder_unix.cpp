#include "platform/fillfolder.h"
#include "platform/outputfile.h"

#include <QFile>

#include <bitset>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace platform {

namespace {

// Blocks of a fill file read to tell it from other files: the first after the header, the last, and
// some between.
constexpr qint64 sampledBlocks = 16;
// Random data takes nearly every byte value in a block (251 of 256 on average in 1024 bytes); text
// and most other data far fewer.
constexpr size_t randomByteValues = 192;

std::error_code lastError()
{
    return { errno, std::system_category() };
}

bool isNumber(const char* name)
{
    // Only the names a fill gives: 1, 2, 3, ... without leading zeros.
    if (*name < '1' || *name > '9') {
        return false;
    }
    for (++name; *name != '\0'; ++name) {
        if (*name < '0' || *name > '9') {
            return false;
        }
    }
    return true;
}

bool sameFile(const struct stat& st, quint64 device, quint64 inode)
{
    return static_cast<quint64>(st.st_dev) == device && static_cast<quint64>(st.st_ino) == inode;
}

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool readAt(int fd, char* data, qint64 size, qint64 offset)
{
    qint64 got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, data + got, static_cast<size_t>(size - got), static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        got += n;
    }
    return true;
}

bool startsWith(int fd, const QByteArray& bytes)
{
    QByteArray head(bytes.size(), '\0');
    return readAt(fd, head.data(), head.size(), 0) && head == bytes;
}

// A block as a fill writes it after the header: bytes of 255, zeros where the space was reserved,
// or random data.
bool isFillBlock(const QByteArray& block)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(block.constData());
    std::bitset<256> seen;
    for (qsizetype i = 0; i < block.size(); ++i) {
        seen.set(bytes[i]);
    }
    if (seen.count() == 1) {
        return bytes[0] == 0xFF || bytes[0] == 0;
    }
    return seen.count() >= randomByteValues;
}

// The length and the sampled blocks after the header block of a file that begins with it.
bool hasFillBlocks(int fd, qint64 size, qint64 blockSize)
{
    if (size < blockSize || size % blockSize != 0) {
        return false;
    }
    const qint64 blocks = size / blockSize;
    QByteArray block(blockSize, '\0');
    for (qint64 i = 0, last = 0; i < sampledBlocks && blocks > 1; ++i) {
        const qint64 index = 1 + (blocks - 2) * i / (sampledBlocks - 1);
        if (i > 0 && index == last) {
            continue;
        }
        last = index;
        if (!readAt(fd, block.data(), blockSize, index * blockSize) || !isFillBlock(block)) {
            return false;
        }
    }
    return true;
}

// Whether a running fill holds the open file or folder locked.
bool lockedByAFill(int fd)
{
    return ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

// Renames from to to in the folder dir, never replacing what is at to.
int renameNoReplace(int dir, const char* from, const char* to)
{
#ifdef RENAME_NOREPLACE
    const int result = ::renameat2(dir, from, dir, to, RENAME_NOREPLACE);
    if (result == 0 || (errno != EINVAL && errno != ENOSYS)) {
        return result;
    }
#endif
    // A kernel or a file system without the flag: the name is checked free first.
    struct stat st = {};
    if (::fstatat(dir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    return ::renameat(dir, from, dir, to);
}

class Cleaner
{
public:
    Cleaner(const CleanRequest& request, const FillFormat& format, const CleanHooks& hooks,
            const std::function<void(const CleanedFill&)>& report)
        : m_request(request)
        , m_format(format)
        , m_hooks(hooks)
        , m_report(report)
    {
    }

    // failedAt: the folder that error names.
    std::error_code run(QByteArray* failedAt)
    {
        const QByteArray name = QFile::encodeName(m_request.dir);
        if (name.isEmpty() || name.contains('\0') || m_format.headerBlock.isEmpty()) {
            return std::make_error_code(std::errc::invalid_argument);
        }
        const int fd = ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        struct stat st = {};
        if (fd < 0 || ::fstat(fd, &st) != 0) {
            const auto error = lastError();
            if (fd >= 0) {
                ::close(fd);
            }
            return error;
        }
        m_device = st.st_dev;
        // The folder named may itself be one a fill of inodes made: it goes through its parent.
        if (m_request.folders && isFillFolder(fd)) {
            if (char* real = ::realpath(name.constData(), nullptr)) {
                const QByteArray path(real);
                std::free(real);
                const qsizetype slash = path.lastIndexOf('/');
                const QByteArray parentName = slash == 0 ? QByteArray("/") : path.left(slash);
                const int parent = ::open(parentName.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                if (slash >= 0 && path.size() > 1 && parent >= 0) {
                    cleanFolder(parent, path.mid(slash + 1).constData(), fd, st, name);
                    ::close(parent);
                    ::close(fd);
                    *failedAt = m_failedAt;
                    return m_error;
                }
                if (parent >= 0) {
                    ::close(parent);
                }
            }
        }
        scan(fd, name);
        *failedAt = m_failedAt;
        return m_error;
    }

private:
    bool stopped()
    {
        m_stopped = m_stopped || (m_hooks.stopRequested && m_hooks.stopRequested());
        return m_stopped;
    }

    // The first folder the walk could not go into is the one named: where it stopped.
    void fail(std::error_code error, const QByteArray& path)
    {
        if (!m_error) {
            m_error = error;
            m_failedAt = path;
        }
    }

    void report(const QByteArray& path, bool folder, std::error_code error = {}, const QByteArray& leftAt = {})
    {
        m_report({ path, folder, error, leftAt });
    }

    // Takes dir over.
    void scan(int dir, const QByteArray& path)
    {
        DIR* listing = ::fdopendir(dir);
        if (!listing) {
            fail(lastError(), path);
            ::close(dir);
            return;
        }
        const QByteArray prefix = path.endsWith('/') ? path : path + '/';
        const qint64 blockSize = m_format.headerBlock.size();
        while (const dirent* entry = ::readdir(listing)) {
            const char* name = entry->d_name;
            if (qstrcmp(name, ".") == 0 || qstrcmp(name, "..") == 0) {
                continue;
            }
            if (stopped()) {
                break;
            }
            struct stat st = {};
            // Gone meanwhile, or another volume mounted here: find -xdev does not go there either.
            if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_dev != m_device) {
                continue;
            }
            const QByteArray full = prefix + name;
            if (S_ISREG(st.st_mode) && st.st_size >= blockSize && st.st_size % blockSize == 0) {
                cleanFile(dir, name, full);
            } else if (S_ISDIR(st.st_mode) && (m_request.folders || m_request.recursive)) {
                const int sub = ::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                struct stat opened = {};
                if (sub < 0 || ::fstat(sub, &opened) != 0 || !sameFile(opened, st)) {
                    if (sub < 0) {
                        fail(lastError(), full);
                    } else {
                        ::close(sub);
                    }
                    continue;
                }
                if (m_request.folders && isFillFolder(sub)) {
                    cleanFolder(dir, name, sub, opened, full);
                    ::close(sub);
                } else if (m_request.recursive && full.size() < PATH_MAX) {
                    scan(sub, full);
                } else {
                    // Deeper than a path can name, its fills could not be told; the walk stops there
                    // rather than run out of stack.
                    if (m_request.recursive) {
                        fail(std::make_error_code(std::errc::filename_too_long), full);
                    }
                    ::close(sub);
                }
            }
        }
        ::closedir(listing);
    }

    void cleanFile(int dir, const char* name, const QByteArray& path)
    {
        // O_NONBLOCK: a pipe or a device put here meanwhile must not block; fstat then refuses it.
        const int fd = ::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            return;
        }
        struct stat st = {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != m_device
            || !startsWith(fd, m_format.headerBlock)) {
            ::close(fd);
            return;
        }
        // A running fill holds its file locked; while it writes, its length may be between blocks.
        if (lockedByAFill(fd)) {
            report(path, false, make_error_code(FileError::InUse));
        } else if (::fstat(fd, &st) == 0 && hasFillBlocks(fd, st.st_size, m_format.headerBlock.size())) {
            if (m_request.dryRun) {
                report(path, false);
            } else {
                take(dir, name, st, path, false);
            }
        }
        ::close(fd);
    }

    // The marker holds the marker text exactly, and is a regular file of its own.
    bool isFillFolder(int folder) const
    {
        const int fd
            = ::openat(folder, FillFolder::markerName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        struct stat st = {};
        const bool marked = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1
            && st.st_size == m_format.marker.size() && startsWith(fd, m_format.marker);
        ::close(fd);
        return marked;
    }

    // Calls each for every entry of the folder but the marker; false when one is not what a fill of
    // inodes makes (an empty regular file with a number for a name), or each says stop.
    static bool forEachFile(int folder, const std::function<bool(const char* name, const struct stat& st)>& each)
    {
        const int copy = ::dup(folder);
        DIR* listing = copy >= 0 ? ::fdopendir(copy) : nullptr;
        if (!listing) {
            if (copy >= 0) {
                ::close(copy);
            }
            return false;
        }
        ::rewinddir(listing);
        bool all = true;
        while (const dirent* entry = ::readdir(listing)) {
            const char* name = entry->d_name;
            if (qstrcmp(name, ".") == 0 || qstrcmp(name, "..") == 0 || qstrcmp(name, FillFolder::markerName) == 0) {
                continue;
            }
            struct stat st = {};
            if (::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                continue; // gone meanwhile
            }
            if (!isNumber(name) || !S_ISREG(st.st_mode) || st.st_size != 0 || !each(name, st)) {
                all = false;
                break;
            }
        }
        ::closedir(listing);
        return all;
    }

    void cleanFolder(int parent, const char* name, int folder, const struct stat& st, const QByteArray& path)
    {
        if (lockedByAFill(folder)) {
            report(path, true, make_error_code(FileError::InUse));
            return;
        }
        // Anything else in it, and it is somebody's folder: nothing in it is taken.
        if (!forEachFile(folder, [](const char*, const struct stat&) { return true; })) {
            return;
        }
        if (m_request.dryRun) {
            report(path, true);
            return;
        }
        if (m_hooks.checked) {
            m_hooks.checked(QFile::decodeName(path));
        }
        std::error_code error;
        const bool emptied = forEachFile(folder, [&](const char* file, const struct stat& fileStat) {
            if (stopped()) {
                error = std::make_error_code(std::errc::interrupted);
                return false;
            }
            QByteArray leftAt;
            if (const auto why = removeChecked(folder, file, fileStat, false, &leftAt); why && !error) {
                error = why;
            }
            return true;
        });
        struct stat marker = {};
        if (emptied && !error && ::fstatat(folder, FillFolder::markerName, &marker, AT_SYMLINK_NOFOLLOW) == 0) {
            QByteArray leftAt;
            error = removeChecked(folder, FillFolder::markerName, marker, false, &leftAt);
        }
        if (!error) {
            take(parent, name, st, path, true);
            return;
        }
        report(path, true, error);
    }

    void take(int dir, const char* name, const struct stat& st, const QByteArray& path, bool folder)
    {
        if (!folder && m_hooks.checked) {
            m_hooks.checked(QFile::decodeName(path));
        }
        QByteArray leftAt;
        const std::error_code error = removeChecked(dir, name, st, folder, &leftAt);
        report(path, folder, error, leftAt.isEmpty() ? QByteArray() : path.left(path.lastIndexOf('/') + 1) + leftAt);
    }

    // Takes name out of the folder dir if it still is the file checked: renamed first to a name of
    // this run's own, the entry that moved is compared with the one checked, and only then removed.
    // Another file that took the name meanwhile is given it back (leftAt: where it stays if not).
    std::error_code removeChecked(int dir, const char* name, const struct stat& checked, bool folder,
                                  QByteArray* leftAt)
    {
        QByteArray aside;
        for (int tries = 0;; ++tries) {
            aside = ".tallowmere-clean-" + QByteArray::number(::getpid()) + '-' + QByteArray::number(m_asides++);
            if (renameNoReplace(dir, name, aside.constData()) == 0) {
                break;
            }
            if (errno != EEXIST || tries == 100) {
                return lastError();
            }
        }
        struct stat moved = {};
        const bool same
            = ::fstatat(dir, aside.constData(), &moved, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(moved, checked);
        if (same && ::unlinkat(dir, aside.constData(), folder ? AT_REMOVEDIR : 0) == 0) {
            return {};
        }
        const std::error_code error = same ? lastError() : make_error_code(FileError::Moved);
        if (renameNoReplace(dir, aside.constData(), name) != 0) {
            *leftAt = aside;
        }
        return error;
    }

    const CleanRequest& m_request;
    const FillFormat& m_format;
    const CleanHooks& m_hooks;
    const std::function<void(const CleanedFill&)>& m_report;
    dev_t m_device = 0;
    std::error_code m_error;
    QByteArray m_failedAt;
    bool m_stopped = false;
    quint64 m_asides = 0;
};

} // namespace

FillFolder::~FillFolder()
{
    close();
}

std::error_code FillFolder::create(const QString& path, const QByteArray& marker)
{
    close();
    m_files = 0;
    m_name = QFile::encodeName(path);
    if (m_name.isEmpty() || m_name.contains('\0')) {
        return std::make_error_code(std::errc::invalid_argument);
    }
    if (::mkdir(m_name.constData(), 0755) != 0) {
        return lastError();
    }
    m_fd = ::open(m_name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st = {};
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0) {
        const auto error = lastError();
        close();
        ::rmdir(m_name.constData());
        return error;
    }
    m_device = static_cast<quint64>(st.st_dev);
    m_inode = static_cast<quint64>(st.st_ino);
    // Held until the folder is closed: a clean-up leaves the folder of a running fill alone.
    ::flock(m_fd, LOCK_EX | LOCK_NB);
    const int fd = ::openat(m_fd, markerName, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    std::error_code error = fd < 0 ? lastError() : std::error_code();
    if (fd >= 0) {
        if (::write(fd, marker.constData(), static_cast<size_t>(marker.size())) != marker.size()) {
            error = errno != 0 ? lastError() : std::make_error_code(std::errc::no_space_on_device);
        }
        if (::close(fd) != 0 && !error) {
            error = lastError();
        }
    }
    if (error) {
        remove();
    }
    return error;
}

std::error_code FillFolder::addFile()
{
    const QByteArray name = QByteArray::number(m_files + 1);
    const int fd = ::openat(m_fd, name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        return lastError();
    }
    ::close(fd);
    ++m_files;
    return {};
}

std::optional<qint64> FillFolder::inodesAvailable() const
{
    struct statvfs st = {};
    if (m_fd < 0 || ::fstatvfs(m_fd, &st) != 0) {
        return std::nullopt;
    }
    return static_cast<qint64>(st.f_favail);
}

std::error_code FillFolder::remove()
{
    if (m_fd < 0) {
        return std::make_error_code(std::errc::bad_file_descriptor);
    }
    for (qint64 i = m_files; i >= 1; --i) {
        ::unlinkat(m_fd, QByteArray::number(i).constData(), 0);
    }
    m_files = 0;
    ::unlinkat(m_fd, markerName, 0);
    // The folder goes by name: only if that name still leads to the folder this run made.
    struct stat st = {};
    std::error_code error;
    if (::lstat(m_name.constData(), &st) != 0 || !sameFile(st, m_device, m_inode)) {
        error = std::make_error_code(std::errc::no_such_file_or_directory);
    } else if (::rmdir(m_name.constData()) != 0) {
        error = lastError();
    }
    close();
    return error;
}

void FillFolder::close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

std::error_code cleanFills(const CleanRequest& request, const FillFormat& format, const CleanHooks& hooks,
                           const std::function<void(const CleanedFill&)>& report, QByteArray* failedAt)
{
    QByteArray where;
    const std::error_code error = Cleaner(request, format, hooks, report).run(&where);
    if (failedAt) {
        *failedAt = where;
    }
    return error;
}

} // namespace platform
