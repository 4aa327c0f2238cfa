#include "platform/layercopy_linux.h"
#include "platform/isolate_linux.h"
#include "platform/uniquefd.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace platform {

namespace isolation {

// to: the folder to copy into, -1 to count only.
void LayerWalk::folder(int from, int to)
{
    DIR* listing = ::fdopendir(::fcntl(from, F_DUPFD_CLOEXEC, 0));
    if (listing == nullptr) {
        note(errno, QStringLiteral("."));
        return;
    }
    while (const dirent* entry = stop() ? nullptr : ::readdir(listing)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
            continue;
        }
        struct stat st = {};
        if (::fstatat(from, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            note(errno, QFile::decodeName(name));
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            subfolder(from, to, name, st);
            continue;
        }
        // overlayfs marks a removed file with a character device 0, 0.
        if (!(S_ISCHR(st.st_mode) && st.st_rdev == 0)) {
            ++files;
        }
        if (to >= 0) {
            copy(from, to, name, st);
        }
    }
    ::closedir(listing);
}

// The folder's owner (when kept), permissions and times, once its entries are in.
void LayerWalk::finish(int fd, const struct stat& st)
{
    if (m_keepOwners) {
        (void)::fchown(fd, st.st_uid, st.st_gid);
    }
    ::fchmod(fd, st.st_mode & 07777);
    const timespec times[2] = { st.st_atim, st.st_mtim };
    ::futimens(fd, times);
}

void LayerWalk::note(int error, const QString& name)
{
    if (notCopied++ == 0) {
        firstName = name;
        firstError = error;
    }
}

void LayerWalk::subfolder(int from, int to, const char* name, const struct stat& st)
{
    const UniqueFd source(::openat(from, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    UniqueFd target;
    if (to >= 0) {
        if (::mkdirat(to, name, 0700) != 0 && errno != EEXIST) {
            note(errno, QFile::decodeName(name));
        }
        target.reset(::openat(to, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    if (!source.valid()) {
        note(errno, QFile::decodeName(name));
    } else {
        folder(source.get(), target.get());
    }
    if (target.valid()) {
        finish(target.get(), st);
    }
}

void LayerWalk::copy(int from, int to, const char* name, const struct stat& st)
{
    bool done = false;
    if (S_ISREG(st.st_mode)) {
        const UniqueFd source(::openat(from, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        const UniqueFd target(::openat(to, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        done = source.valid() && target.valid() && copyData(source.get(), target.get());
        if (done) {
            finish(target.get(), st);
        }
    } else if (S_ISLNK(st.st_mode)) {
        QByteArray target(static_cast<qsizetype>(st.st_size) + 1, '\0');
        const ssize_t length = ::readlinkat(from, name, target.data(), static_cast<size_t>(target.size()));
        if (length >= 0 && length < target.size()) {
            target.truncate(length);
            done = ::symlinkat(target.constData(), to, name) == 0;
        }
    } else {
        // Pipes, sockets, removal marks (character devices 0, 0) and, made by root, devices.
        // mknodat() is subject to the umask; the folder is our own and new, so no link is there.
        done = ::mknodat(to, name, st.st_mode & (S_IFMT | 07777), st.st_rdev) == 0
            && ::fchmodat(to, name, st.st_mode & 07777, 0) == 0;
    }
    if (done && m_keepOwners && !S_ISREG(st.st_mode)) {
        (void)::fchownat(to, name, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW);
    }
    if (!done) {
        note(errno, QFile::decodeName(name));
    }
}

bool LayerWalk::copyData(int source, int target)
{
    while (!stop()) {
        const ssize_t copied = ::copy_file_range(source, nullptr, target, nullptr, 1 << 26, 0);
        if (copied == 0) {
            return true;
        }
        if (copied < 0) {
            break;
        }
    }
    if (interrupted || (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)) {
        return false;
    }
    char buffer[65536];
    while (!stop()) {
        const ssize_t got = ::read(source, buffer, sizeof buffer);
        if (got == 0) {
            return true;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        for (ssize_t put = 0; put < got;) {
            const ssize_t n = ::write(target, buffer + put, static_cast<size_t>(got - put));
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return false;
            }
            put += n;
        }
    }
    return false;
}

} // namespace isolation

using namespace isolation;

LayerUse Isolation::use() const
{
    const Plan& p = *d;
    LayerUse use;
    struct statvfs space = {};
    if (p.layer < 0 || ::fstatvfs(p.layer, &space) != 0) {
        return use;
    }
    struct stat ballast = {};
    const qint64 ballastBytes = ::fstatat(p.layer, "ballast", &ballast, 0) == 0 ? ballast.st_blocks * 512 : 0;
    use.bytes = std::max<qint64>(
        0, static_cast<qint64>(space.f_blocks - space.f_bfree) * static_cast<qint64>(space.f_frsize) - ballastBytes);
    LayerWalk walk(false);
    for (const Root& root : p.roots) {
        const UniqueFd upper(root.file ? -1
                                       : ::openat(p.layer, root.upper.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (upper.valid()) {
            walk.folder(upper.get(), -1);
        }
    }
    use.files = walk.files;
    return use;
}

namespace {

// Never into the isolated folder: the temporary folder ($TMPDIR, or /tmp when that names no folder),
// or beside the isolated one if that is in it.
QString keepBase(const QString& folder)
{
    const auto inFolder
        = [&folder](const QString& path) { return path.isEmpty() || path == folder || path.startsWith(folder + u'/'); };
    QString base = QFileInfo(QDir::tempPath()).canonicalFilePath();
    if (base.isEmpty() || !QFileInfo(base).isDir()) {
        base = QFileInfo(QStringLiteral("/tmp")).canonicalFilePath();
    }
    if (inFolder(base)) {
        base = QFileInfo(folder).path();
    }
    return base;
}

// The folder of the copy a root's part goes into: a volume below the folder goes where it was mounted.
UniqueFd keptFolder(int kept, const QByteArray& relative)
{
    UniqueFd target(kept < 0 ? -1 : ::dup(kept));
    for (const QByteArray& part : relative.split('/')) {
        if (part.isEmpty() || !target.valid()) {
            continue;
        }
        ::mkdirat(target.get(), part.constData(), 0700);
        target.reset(::openat(target.get(), part.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    return target;
}

} // namespace

KeptLayer Isolation::keep(const std::function<bool()>& stopped) const
{
    const Plan& p = *d;
    KeptLayer result;
    if (p.layer < 0) {
        result.problem = KeptLayer::Problem::NoLayer;
        return result;
    }
    QByteArray name = QFile::encodeName(keepBase(p.facts.folder)) + "/tallowmere-layer-XXXXXX";
    if (::mkdtemp(name.data()) == nullptr) {
        result.problem = KeptLayer::Problem::NotMade;
        result.error = errno;
        result.firstName = QFile::decodeName(name);
        return result;
    }
    const UniqueFd kept(::open(name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    LayerWalk walk(!p.newUserNamespace);
    walk.stopped = stopped;
    for (const Root& root : p.roots) {
        if (root.file) {
            continue; // read-only: nothing was written there
        }
        const UniqueFd upper(::openat(p.layer, root.upper.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const UniqueFd target = keptFolder(kept.get(), root.relative);
        struct stat top = {};
        if (upper.valid() && target.valid() && ::fstat(upper.get(), &top) == 0) {
            walk.folder(upper.get(), target.get());
            // The copy's own top stays private; a volume's top below it is as it was.
            if (!root.relative.isEmpty()) {
                walk.finish(target.get(), top);
            }
        } else {
            walk.note(errno, QFile::decodeName(root.relative));
        }
    }
    result.path = QFile::decodeName(name);
    result.notCopied = walk.notCopied;
    result.firstName = walk.firstName;
    result.error = walk.firstError;
    if (walk.interrupted) {
        result.problem = KeptLayer::Problem::Interrupted;
    } else if (walk.notCopied > 0) {
        result.problem = KeptLayer::Problem::NotAllCopied;
    }
    return result;
}

} // namespace platform
