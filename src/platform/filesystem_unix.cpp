#include "platform/filesystem.h"

#include <QFile>

#include <cerrno>
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
    struct stat st
    {
    };
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

qint64 diskFree(const QString& drive, const QString& dir)
{
    Q_UNUSED(drive); // no drives here
    QByteArray name = dir.isEmpty() ? QByteArray(".") : QFile::encodeName(dir);
    if (name.contains('\0')) {
        return 0;
    }
    // The file would land on the volume of the nearest folder that exists.
    for (;;) {
        struct statvfs st
        {
        };
        if (::statvfs(name.constData(), &st) == 0) {
            const auto available = static_cast<unsigned long long>(st.f_bavail) * st.f_frsize;
            return static_cast<qint64>(std::min<unsigned long long>(available, std::numeric_limits<qint64>::max()));
        }
        if (errno != ENOENT && errno != ENOTDIR) {
            return 0;
        }
        while (name.size() > 1 && name.endsWith('/')) {
            name.chop(1);
        }
        const qsizetype slash = name.lastIndexOf('/');
        if (slash < 0) {
            if (name == ".") {
                return 0;
            }
            name = ".";
        } else if (slash == 0) {
            if (name == "/") {
                return 0;
            }
            name = "/";
        } else {
            name.truncate(slash);
        }
    }
}

} // namespace platform
