#include "platform/guardian.h"
#include "platform/lasterror_unix.h"
#include "platform/links_unix.h"
#include "platform/outputfile.h"
#include "platform/pseudofilesystems.h"
#include "platform/writebehind.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/vfs.h>
#endif

namespace platform {

namespace {

bool onPseudoFileSystem(int fd)
{
#ifdef __linux__
    struct statfs st = {};
    return ::fstatfs(fd, &st) == 0 && pseudoFileSystemName(static_cast<unsigned long>(st.f_type)) != nullptr;
#else
    Q_UNUSED(fd);
    return false;
#endif
}

bool locksUnsupported(int error)
{
    return error == ENOLCK || error == EOPNOTSUPP || error == ENOTSUP || error == EINVAL;
}

class PosixOutputFile final : public OutputFile
{
public:
    ~PosixOutputFile() override { close(); }

    std::error_code create(const QString& path, Existing existing) override
    {
        close();
        m_created = false;
        m_name = QFile::encodeName(path);
        // A NUL would silently cut the name short and write somewhere else.
        if (m_name.isEmpty() || m_name.contains('\0')) {
            return std::make_error_code(std::errc::invalid_argument);
        }
        // O_NONBLOCK: a pipe without a reader must fail here rather than hang the window.
        const int flags = O_WRONLY | O_CLOEXEC | O_NONBLOCK;
        int fd = openNew(flags);
        if (fd >= 0) {
            m_created = true;
        } else if (errno == EEXIST && existing == Existing::Replace) {
            // Opening a pipe or a device for writing already acts on it (a pipe's reader sees its
            // end, some devices reset): only a regular file, or a folder to be named as one, is opened.
            struct stat st = {};
            if (::stat(m_name.constData(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
                return make_error_code(FileError::NotRegularFile);
            }
            fd = ::open(m_name.constData(), flags);
        }
        if (fd < 0) {
            return creationError();
        }
        struct stat st = {};
        if (::fstat(fd, &st) != 0) {
            const auto error = lastError();
            ::close(fd);
            return error;
        }
        // Only a regular file is emptied and filled: writing to a device would destroy what it holds.
        if (!S_ISREG(st.st_mode)) {
            ::close(fd);
            return make_error_code(FileError::NotRegularFile);
        }
        // proc and sysfs files call themselves regular, but writing one reconfigures the system.
        if (onPseudoFileSystem(fd)) {
            ::close(fd);
            return make_error_code(FileError::PseudoFile);
        }
        // Two fills into one file would interleave; the second one is refused before it empties the file.
        // A volume without locks (NFS without its lock service, say) is filled all the same.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && !locksUnsupported(errno)) {
            const auto error = errno == EWOULDBLOCK ? make_error_code(FileError::InUse) : lastError();
            ::close(fd);
            return error;
        }
        if (!m_created && ::ftruncate(fd, 0) != 0) {
            const auto error = lastError();
            ::close(fd);
            return error;
        }
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        // Through a link, the file itself is the one to remove at the end, not the link.
        if (struct stat link = {}; ::lstat(m_name.constData(), &link) == 0 && S_ISLNK(link.st_mode)) {
            if (char* real = ::realpath(m_name.constData(), nullptr)) {
                m_name = real;
                std::free(real);
            }
        }
        // Before anything is written: a run killed from here on leaves no fill behind.
        if (guardian::pid() > 0) {
            guardian::guardFile(fd, m_name);
        }
        m_fd = fd;
        m_device = st.st_dev;
        m_inode = st.st_ino;
        m_size = 0;
        m_writeBehind.start(fd);
        return {};
    }

    // Creates the file, never opening one that is there already. O_EXCL does not follow a symbolic
    // link, so a link to a file not made yet is followed first, and its file made, still with
    // O_EXCL; the name of what was made is kept, so discard() removes that file and not the link.
    int openNew(int flags)
    {
        const int fd = ::open(m_name.constData(), flags | O_CREAT | O_EXCL, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
        QByteArray target = m_name;
        if (const int error = followToNothing(target)) {
            errno = error;
            return -1;
        }
        const int made = ::open(target.constData(), flags | O_CREAT | O_EXCL, 0666);
        if (made >= 0) {
            m_name = target;
        }
        return made;
    }

    // "File exists" would puzzle a user who was told no file is there: name a directory as one.
    std::error_code creationError() const
    {
        const int error = errno;
        struct stat st = {};
        if (error == EEXIST && ::stat(m_name.constData(), &st) == 0 && S_ISDIR(st.st_mode)) {
            return std::make_error_code(std::errc::is_a_directory);
        }
        return { error, std::system_category() };
    }

    WriteResult write(const char* data, qint64 size) override
    {
        WriteResult result;
        // The disk is behind: write nothing now, so the caller can see to its window meanwhile.
        if (!m_writeBehind.ready()) {
            return result;
        }
        while (result.written < size) {
            const auto chunk = static_cast<size_t>(std::min<qint64>(size - result.written, qint64(1) << 30));
            const ssize_t n = ::write(m_fd, data + result.written, chunk);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                result.error = lastError();
                break;
            }
            if (n == 0) {
                result.error = std::make_error_code(std::errc::io_error);
                break;
            }
            result.written += n;
        }
        m_size += result.written;
        if (!result.error) {
            result.error = m_writeBehind.wrote(m_size);
        }
        return result;
    }

    std::error_code truncate(qint64 size) override
    {
        // The next write goes where the file now ends, not where the last one stopped.
        if (::ftruncate(m_fd, static_cast<off_t>(size)) != 0 || ::lseek(m_fd, static_cast<off_t>(size), SEEK_SET) < 0) {
            return lastError();
        }
        m_size = size;
        m_writeBehind.truncated(size);
        return {};
    }

    WriteResult allocate(qint64 size) override
    {
#ifdef __linux__
        struct stat before = {};
        if (::fstat(m_fd, &before) != 0) {
            return { 0, lastError() };
        }
        // Mode 0 takes real blocks and moves the end of the file; posix_fallocate would write zeros
        // where the volume cannot reserve, which is no quicker than writing the fill itself.
        int result = 0;
        do {
            result = ::fallocate(m_fd, 0, static_cast<off_t>(m_size), static_cast<off_t>(size));
        } while (result != 0 && errno == EINTR);
        const std::error_code error = result == 0 ? std::error_code() : lastError();
        // A reservation that runs out of room part way may keep what it got.
        struct stat after = {};
        if (::fstat(m_fd, &after) != 0) {
            return { 0, lastError() };
        }
        const qint64 end = std::max<qint64>(m_size, after.st_size);
        const qint64 taken = (static_cast<qint64>(after.st_blocks) - static_cast<qint64>(before.st_blocks)) * 512;
        if (end > m_size && taken < (end - m_size) / 2) {
            // The volume said yes but holds nothing back: no full disk that way.
            ::ftruncate(m_fd, static_cast<off_t>(m_size));
            return { 0, std::make_error_code(std::errc::operation_not_supported) };
        }
        if (::lseek(m_fd, static_cast<off_t>(end), SEEK_SET) < 0) {
            return { 0, lastError() };
        }
        const qint64 added = end - m_size;
        m_size = end;
        m_writeBehind.reserved(end);
        return { added, error };
#else
        return OutputFile::allocate(size);
#endif
    }

    std::error_code remove() override
    {
        if (m_fd < 0) {
            return std::make_error_code(std::errc::bad_file_descriptor);
        }
        // Only the file this run filled goes, not one put at its name since.
        struct stat st = {};
        std::error_code error;
        if (::lstat(m_name.constData(), &st) != 0 || st.st_dev != m_device || st.st_ino != m_inode) {
            error = make_error_code(FileError::Moved);
        } else if (::unlink(m_name.constData()) != 0) {
            error = lastError();
        }
        // Moved, or still held open by another program: its space comes back all the same, and
        // nothing is left to flush.
        truncate(0);
        close();
        m_created = false;
        return error;
    }

    bool deleted() override
    {
        struct stat st = {};
        return ::fstat(m_fd, &st) == 0 && st.st_nlink == 0;
    }

    std::optional<qint64> length() override
    {
        struct stat st = {};
        return ::fstat(m_fd, &st) == 0 ? std::optional<qint64>(st.st_size) : std::nullopt;
    }

    std::optional<qint64> allocatedBytes() override
    {
        struct stat st = {};
        return ::fstat(m_fd, &st) == 0 ? std::optional<qint64>(qint64(st.st_blocks) * 512) : std::nullopt;
    }

    std::error_code close() override
    {
        if (m_fd < 0) {
            return {};
        }
        const int fd = m_fd;
        m_fd = -1;
        // The file is on the disk when the run says it is closed.
        const std::error_code flushed = m_writeBehind.finish();
        // Linux releases the descriptor even when close() fails: never retry it.
        if (::close(fd) != 0 && errno != EINTR) {
            return lastError();
        }
        return flushed;
    }

    void discard() override
    {
        if (!m_created && m_fd >= 0) {
            truncate(0); // best effort: the file is closed and reported either way
        }
        // Another file may have been put at the name since: only ours is removed.
        struct stat st = {};
        const bool stillOurs
            = m_created && ::lstat(m_name.constData(), &st) == 0 && st.st_dev == m_device && st.st_ino == m_inode;
        close();
        if (stillOurs) {
            ::unlink(m_name.constData());
        }
        m_created = false;
    }

private:
    int m_fd = -1;
    qint64 m_size = 0;
    WriteBehind m_writeBehind;
    bool m_created = false;
    QByteArray m_name;
    dev_t m_device = 0;
    ino_t m_inode = 0;
};

} // namespace

std::unique_ptr<OutputFile> makeOutputFile()
{
    return std::make_unique<PosixOutputFile>();
}

bool isOutOfSpace(const std::error_code& error)
{
    return error == std::errc::no_space_on_device || isQuotaExceeded(error);
}

} // namespace platform
