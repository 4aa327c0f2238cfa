#include "platform/fillfolder.h"

#include <QFile>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace platform {

namespace {

std::error_code lastError()
{
    return { errno, std::system_category() };
}

bool isNumber(const char* name)
{
    if (*name == '\0') {
        return false;
    }
    for (; *name != '\0'; ++name) {
        if (*name < '0' || *name > '9') {
            return false;
        }
    }
    return true;
}

// Reads the first bytes of the regular file name in the folder fd, never through a link, nor
// opening a device or a pipe (which could block or have side effects).
QByteArray readHead(int dir, const char* name, qint64 bytes)
{
    const int fd = ::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    QByteArray head(bytes, '\0');
    struct stat st = {};
    qint64 got = 0;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        while (got < bytes) {
            const ssize_t n = ::read(fd, head.data() + got, static_cast<size_t>(bytes - got));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            got += n;
        }
    }
    ::close(fd);
    head.truncate(got);
    return head;
}

// A folder with the marker, holding the header text exactly, and a regular file.
bool isMarkedFolder(int dir, const QByteArray& header)
{
    struct stat st = {};
    if (::fstatat(dir, FillFolder::markerName, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)
        || st.st_size != header.size()) {
        return false;
    }
    return readHead(dir, FillFolder::markerName, header.size() + 1) == header;
}

void scan(int dir, const QByteArray& path, bool recursive, bool folders, const QByteArray& header, qint64 blockSize,
          QList<FoundFill>& found, std::error_code* error)
{
    DIR* listing = ::fdopendir(dir);
    if (!listing) {
        *error = lastError();
        ::close(dir);
        return;
    }
    const QByteArray prefix = path.endsWith('/') ? path : path + '/';
    while (const dirent* entry = ::readdir(listing)) {
        const char* name = entry->d_name;
        if (qstrcmp(name, ".") == 0 || qstrcmp(name, "..") == 0) {
            continue;
        }
        struct stat st = {};
        if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue; // gone meanwhile
        }
        const QByteArray full = prefix + name;
        if (S_ISREG(st.st_mode)) {
            if (st.st_size >= blockSize && st.st_size % blockSize == 0
                && readHead(dir, name, header.size()) == header) {
                found.append({ QFile::decodeName(full), false, static_cast<quint64>(st.st_dev),
                               static_cast<quint64>(st.st_ino) });
            }
        } else if (S_ISDIR(st.st_mode) && (folders || recursive)) {
            const int sub = ::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0) {
                *error = lastError();
                continue;
            }
            if (folders && isMarkedFolder(sub, header)) {
                found.append({ QFile::decodeName(full), true, static_cast<quint64>(st.st_dev),
                               static_cast<quint64>(st.st_ino) });
                ::close(sub);
            } else if (recursive) {
                scan(sub, full, recursive, folders, header, blockSize, found, error);
            } else {
                ::close(sub);
            }
        }
    }
    ::closedir(listing);
}

bool sameFile(const struct stat& st, quint64 device, quint64 inode)
{
    return static_cast<quint64>(st.st_dev) == device && static_cast<quint64>(st.st_ino) == inode;
}

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

QList<FoundFill> findFills(const QString& dir, bool recursive, bool folders, const QByteArray& header, qint64 blockSize,
                           std::error_code* error)
{
    QList<FoundFill> found;
    *error = {};
    const QByteArray name = QFile::encodeName(dir);
    if (name.isEmpty() || name.contains('\0')) {
        *error = std::make_error_code(std::errc::invalid_argument);
        return found;
    }
    const int fd = ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *error = lastError();
        return found;
    }
    // The folder named may itself be one a fill of inodes made.
    struct stat st = {};
    if (folders && ::fstat(fd, &st) == 0 && isMarkedFolder(fd, header)) {
        found.append({ dir, true, static_cast<quint64>(st.st_dev), static_cast<quint64>(st.st_ino) });
        ::close(fd);
        return found;
    }
    scan(fd, name, recursive, folders, header, blockSize, found, error);
    return found;
}

std::error_code removeFill(const FoundFill& fill)
{
    const QByteArray name = QFile::encodeName(fill.path);
    struct stat st = {};
    if (::lstat(name.constData(), &st) != 0) {
        return lastError();
    }
    if (!sameFile(st, fill.device, fill.inode) || (fill.folder ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode))) {
        return std::make_error_code(std::errc::no_such_file_or_directory);
    }
    if (!fill.folder) {
        return ::unlink(name.constData()) == 0 ? std::error_code() : lastError();
    }
    const int dir = ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) {
        return lastError();
    }
    DIR* listing = ::fdopendir(dir);
    if (!listing) {
        const auto error = lastError();
        ::close(dir);
        return error;
    }
    // Only what a fill of inodes makes: empty regular files with numbers for names, and the marker.
    while (const dirent* entry = ::readdir(listing)) {
        struct stat file = {};
        if (isNumber(entry->d_name) && ::fstatat(dir, entry->d_name, &file, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISREG(file.st_mode) && file.st_size == 0) {
            ::unlinkat(dir, entry->d_name, 0);
        }
    }
    ::unlinkat(dir, FillFolder::markerName, 0);
    ::closedir(listing);
    return ::rmdir(name.constData()) == 0 ? std::error_code() : lastError();
}

} // namespace platform
