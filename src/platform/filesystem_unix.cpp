#include "platform/filesystem.h"

#include <QFile>

#include <cerrno>
#include <sys/stat.h>
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

} // namespace platform
