#include "platform/fillfolder.h"
#include "platform/guardian.h"
#include "platform/lasterror_unix.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace platform {

namespace {

bool sameFile(const struct stat& st, quint64 device, quint64 inode)
{
    return static_cast<quint64>(st.st_dev) == device && static_cast<quint64>(st.st_ino) == inode;
}

} // namespace

FillFolder::~FillFolder()
{
    close();
}

std::error_code FillFolder::create(const QString& path, const QByteArray& markerName, const QByteArray& marker)
{
    close();
    m_files = 0;
    m_name = QFile::encodeName(path);
    m_markerName = markerName;
    if (m_name.isEmpty() || m_name.contains('\0') || markerName.isEmpty() || markerName.contains('/')) {
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
    // Before the marker: a run killed from here on leaves no folder behind.
    if (guardian::pid() > 0) {
        guardian::guardFolder(m_fd, m_name, m_markerName);
    }
    const int fd = ::openat(m_fd, m_markerName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
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
    ::unlinkat(m_fd, m_markerName.constData(), 0);
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

} // namespace platform
