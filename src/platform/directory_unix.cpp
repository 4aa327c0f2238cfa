#include "platform/directory.h"
#include "platform/lasterror_unix.h"
#include "platform/outputfile.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

EntryInfo infoOf(const struct stat& st)
{
    EntryType type = EntryType::Other;
    if (S_ISREG(st.st_mode)) {
        type = EntryType::File;
    } else if (S_ISDIR(st.st_mode)) {
        type = EntryType::Folder;
    } else if (S_ISLNK(st.st_mode)) {
        type = EntryType::Link;
    }
    return { type,
             { static_cast<quint64>(st.st_dev), static_cast<quint64>(st.st_ino) },
             static_cast<qint64>(st.st_size),
             static_cast<quint64>(st.st_nlink) };
}

std::error_code infoOf(int fd, EntryInfo* info)
{
    struct stat st = {};
    if (::fstat(fd, &st) != 0) {
        return lastError();
    }
    *info = infoOf(st);
    return {};
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

} // namespace

Directory::~Directory()
{
    close();
}

std::error_code Directory::open(const QByteArray& path)
{
    close();
    m_fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return m_fd < 0 ? lastError() : std::error_code();
}

std::error_code Directory::open(const Directory& parent, const QByteArray& name, const FileId& listed)
{
    close();
    m_fd = ::openat(parent.m_fd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (m_fd < 0) {
        return lastError();
    }
    EntryInfo opened;
    if (infoOf(m_fd, &opened) || opened.id != listed) {
        close();
        return make_error_code(FileError::Moved);
    }
    return {};
}

void Directory::close()
{
    if (m_listing) {
        ::closedir(static_cast<DIR*>(m_listing)); // closes m_fd too
        m_listing = nullptr;
    } else if (m_fd >= 0) {
        ::close(m_fd);
    }
    m_fd = -1;
}

bool Directory::isOpen() const
{
    return m_fd >= 0;
}

std::error_code Directory::info(EntryInfo* info) const
{
    return infoOf(m_fd, info);
}

std::error_code Directory::entry(const QByteArray& name, EntryInfo* info) const
{
    struct stat st = {};
    if (::fstatat(m_fd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return lastError();
    }
    *info = infoOf(st);
    return {};
}

std::error_code Directory::list(const std::function<bool(const QByteArray& name, const EntryInfo& info)>& each) const
{
    // The listing reads the folder's own descriptor, as the calls made through it do: a walk down a
    // deep tree holds one descriptor a level.
    if (!m_listing) {
        m_listing = ::fdopendir(m_fd);
        if (!m_listing) {
            return lastError();
        }
    }
    DIR* listing = static_cast<DIR*>(m_listing);
    ::rewinddir(listing);
    while (const dirent* entry = ::readdir(listing)) {
        const char* name = entry->d_name;
        if (qstrcmp(name, ".") == 0 || qstrcmp(name, "..") == 0) {
            continue;
        }
        struct stat st = {};
        if (::fstatat(m_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue; // gone meanwhile
        }
        if (!each(QByteArray(name), infoOf(st))) {
            break;
        }
    }
    return {};
}

bool Directory::heldByAFill()
{
    return lockedByAFill(m_fd);
}

// Renamed first to a name of this run's own, the entry that moved is compared with the one checked,
// and only then removed: a file put at the name in between is never the one removed.
std::error_code Directory::removeChecked(const QByteArray& name, const FileId& checked, bool folder, QByteArray* leftAt)
{
    static quint64 asides = 0;
    QByteArray aside;
    for (int tries = 0;; ++tries) {
        aside = ".tallowmere-clean-" + QByteArray::number(::getpid()) + '-' + QByteArray::number(asides++);
        if (renameNoReplace(m_fd, name.constData(), aside.constData()) == 0) {
            break;
        }
        if (errno != EEXIST || tries == 100) {
            return lastError();
        }
    }
    EntryInfo moved;
    const bool same = !entry(aside, &moved) && moved.id == checked;
    if (same && ::unlinkat(m_fd, aside.constData(), folder ? AT_REMOVEDIR : 0) == 0) {
        return {};
    }
    const std::error_code error = same ? lastError() : make_error_code(FileError::Moved);
    if (renameNoReplace(m_fd, aside.constData(), name.constData()) != 0) {
        *leftAt = aside;
    }
    return error;
}

bool Directory::splitRealPath(const QByteArray& path, QByteArray* parent, QByteArray* name)
{
    char* real = ::realpath(path.constData(), nullptr);
    if (!real) {
        return false;
    }
    const QByteArray resolved(real);
    std::free(real);
    const qsizetype slash = resolved.lastIndexOf('/');
    if (slash < 0 || resolved.size() <= 1) {
        return false;
    }
    *parent = slash == 0 ? QByteArray("/") : resolved.left(slash);
    *name = resolved.mid(slash + 1);
    return true;
}

EntryFile::~EntryFile()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

std::error_code EntryFile::open(const Directory& dir, const QByteArray& name)
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
    // O_NONBLOCK: a pipe or a device put here meanwhile must not block; its type then refuses it.
    m_fd = ::openat(dir.m_fd, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    return m_fd < 0 ? lastError() : std::error_code();
}

std::error_code EntryFile::info(EntryInfo* info) const
{
    return infoOf(m_fd, info);
}

bool EntryFile::read(qint64 offset, char* data, qint64 size) const
{
    qint64 got = 0;
    while (got < size) {
        const ssize_t n = ::pread(m_fd, data + got, static_cast<size_t>(size - got), static_cast<off_t>(offset + got));
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

bool EntryFile::heldByAFill()
{
    return lockedByAFill(m_fd);
}

} // namespace platform
