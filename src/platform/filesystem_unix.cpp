#include "platform/filesystem.h"
#include "platform/links_unix.h"

#include <QFile>

#include <cerrno>
#include <climits>
#include <cstdlib>
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

int followToNothing(QByteArray& path)
{
    for (int links = 0;; ++links) {
        struct stat st = {};
        if (::lstat(path.constData(), &st) != 0) {
            return links > 0 && errno == ENOENT ? 0 : errno;
        }
        if (!S_ISLNK(st.st_mode) || ::stat(path.constData(), &st) == 0) {
            return EEXIST;
        }
        if (errno != ENOENT) {
            return errno; // a loop of links, a link the system will not follow here
        }
        if (links == 40) {
            return ELOOP;
        }
        QByteArray target(PATH_MAX, '\0');
        const ssize_t length = ::readlink(path.constData(), target.data(), target.size());
        if (length < 0) {
            return errno;
        }
        if (length == 0 || length >= target.size()) {
            return ENAMETOOLONG;
        }
        target.truncate(length);
        if (!target.startsWith('/')) {
            target.prepend(path.left(path.lastIndexOf('/') + 1));
        }
        path = target;
    }
}

std::optional<QString> landingPath(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st = {};
    if (!encodable(name) || ::lstat(name.constData(), &st) != 0 || !S_ISLNK(st.st_mode)) {
        return path;
    }
    QByteArray target = name;
    if (char* real = ::realpath(name.constData(), nullptr)) {
        target = real;
        std::free(real);
    } else if (followToNothing(target) != 0) {
        return path; // the file cannot be made there: the typed path's folder is as good as any
    } else {
        // Spelled as the system resolves it: the folder it will be made in, then its name.
        const qsizetype slash = target.lastIndexOf('/');
        const QByteArray folder = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : target.left(slash);
        if (char* real = ::realpath(folder.constData(), nullptr)) {
            target = QByteArray(real) + (qstrcmp(real, "/") == 0 ? "" : "/") + target.mid(slash + 1);
            std::free(real);
        }
    }
    // A place whose name is not text in the system's encoding cannot be handed on as text.
    const QString text = QFile::decodeName(target);
    if (QFile::encodeName(text) != target) {
        return std::nullopt;
    }
    return text;
}

bool encodesFaithfully(const QString& path)
{
    return !path.contains(QChar::ReplacementCharacter) && QFile::decodeName(QFile::encodeName(path)) == path;
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
            // A volume without an inode limit reports none at all.
            const qint64 inodes = st.f_files == 0 ? -1 : static_cast<qint64>(st.f_favail);
            return VolumeSpace { bytes(st.f_bavail), bytes(::geteuid() == 0 ? st.f_bfree : st.f_bavail),
                                 bytes(st.f_blocks), static_cast<qint64>(st.f_frsize),
                                 bytes(st.f_bfree),  inodes };
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
