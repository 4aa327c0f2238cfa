#include "platform/filesystem.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace platform {

namespace {

bool encodable(const QByteArray& name)
{
    return !name.isEmpty() && !name.contains('\0');
}

} // namespace

bool fileExists(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st = {};
    return encodable(name) && ::stat(name.constData(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::error_code removeFile(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    if (!encodable(name)) {
        return std::make_error_code(std::errc::invalid_argument);
    }
    if (::unlink(name.constData()) != 0) {
        return { errno, std::system_category() };
    }
    return {};
}

std::optional<VolumeSpace> volumeSpace(const QString& drive, const QString& dir)
{
    Q_UNUSED(drive); // no drives here
    QByteArray name = dir.isEmpty() ? QByteArray(".") : QFile::encodeName(dir);
    if (name.contains('\0')) {
        return std::nullopt;
    }
    // The file would land on the volume of the nearest folder that exists.
    for (;;) {
        struct statvfs st = {};
        if (::statvfs(name.constData(), &st) == 0) {
            auto bytes = [&st](unsigned long long blocks) {
                const unsigned long long value = blocks * st.f_frsize;
                return static_cast<qint64>(std::min<unsigned long long>(value, std::numeric_limits<qint64>::max()));
            };
            return VolumeSpace { bytes(st.f_bavail), bytes(st.f_blocks), static_cast<qint64>(st.f_frsize) };
        }
        if (errno != ENOENT && errno != ENOTDIR) {
            return std::nullopt;
        }
        while (name.size() > 1 && name.endsWith('/')) {
            name.chop(1);
        }
        const qsizetype slash = name.lastIndexOf('/');
        if (slash < 0) {
            if (name == ".") {
                return std::nullopt;
            }
            name = ".";
        } else if (slash == 0) {
            if (name == "/") {
                return std::nullopt;
            }
            name = "/";
        } else {
            name.truncate(slash);
        }
    }
}

void settleVolume(const QString& drive, const QString& dir)
{
    Q_UNUSED(drive);
    const QByteArray name = dir.isEmpty() ? QByteArray(".") : QFile::encodeName(dir);
    if (name.contains('\0')) {
        return;
    }
#ifdef __linux__
    if (const int fd = ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); fd >= 0) {
        ::syncfs(fd);
        ::close(fd);
        return;
    }
#endif
    ::sync();
}

qint64 diskFree(const QString& drive, const QString& dir)
{
    const auto space = volumeSpace(drive, dir);
    return space ? space->available : 0;
}

} // namespace platform
