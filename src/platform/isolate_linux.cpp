#include "platform/isolate_linux.h"
#include "platform/descriptors_unix.h"
#include "platform/mountinfo_linux.h"
#include "platform/proc_linux.h"
#include "platform/pseudofilesystems.h"
#include "platform/uniquefd.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform {

using namespace isolation;

namespace {

// DIR and each folder above it up to /, with what tells who may rename or replace it: root's layer is
// laid, and the command started, by path. It stops at the first folder that cannot be looked at.
QList<IsolationFacts::OnTheWay> wayUp(const QByteArray& folder)
{
    QList<IsolationFacts::OnTheWay> way;
    for (QByteArray path = folder, above;; path = above) {
        struct stat own = {};
        struct stat parent = {};
        above = path.left(std::max<qsizetype>(1, path.lastIndexOf('/')));
        IsolationFacts::OnTheWay step;
        step.path = QFile::decodeName(path);
        step.above = QFile::decodeName(above);
        if (::lstat(path.constData(), &own) != 0 || ::lstat(above.constData(), &parent) != 0) {
            step.error = errno;
            way.append(step);
            return way;
        }
        step.uid = own.st_uid;
        step.ownerName = own.st_uid == 0 ? QString() : userName(own.st_uid);
        step.aboveGid = parent.st_gid;
        step.aboveSticky = parent.st_mode & S_ISVTX;
        step.aboveWritableByOthers = parent.st_mode & S_IWOTH;
        step.aboveWritableByGroup = parent.st_mode & S_IWGRP;
        way.append(step);
        if (path == "/") {
            return way;
        }
    }
}

// The facts, and the folder's real path and the mounts below it as the system spells them.
IsolationFacts gather(const QString& dir, QByteArray* folder, QList<QByteArray>* below)
{
    IsolationFacts facts;
    facts.given = dir;
    const QByteArray given = QFile::encodeName(dir);
    char* resolved = given.isEmpty() ? nullptr : ::realpath(given.constData(), nullptr);
    if (resolved == nullptr) {
        facts.error = given.isEmpty() ? ENOENT : errno;
        return facts;
    }
    *folder = resolved;
    std::free(resolved);
    facts.folder = QFile::decodeName(*folder);
    struct stat st = {};
    struct statfs fs = {};
    if (::stat(folder->constData(), &st) != 0 || ::statfs(folder->constData(), &fs) != 0) {
        facts.error = errno;
        return facts;
    }
    facts.isFolder = S_ISDIR(st.st_mode);
    facts.isRootFolder = *folder == "/";
    facts.pseudoFileSystem = QLatin1String(pseudoFileSystemName(static_cast<unsigned long>(fs.f_type)));
    facts.asRoot = ::geteuid() == 0;
    facts.ownFolder = st.st_uid == ::geteuid();
    if (facts.asRoot) {
        facts.way = wayUp(*folder);
    }
    *below = mountsBelow(*folder);
    for (const QByteArray& point : *below) {
        facts.mountsBelow.append(QFile::decodeName(point));
    }
    facts.memoryAvailable = memoryAvailable();
    return facts;
}

// The mount's own flags, to carry over to its layer.
unsigned int mountAttributes(const struct statvfs& volume)
{
    const std::pair<unsigned long, unsigned int> flags[] = {
        { ST_RDONLY, MOUNT_ATTR_RDONLY }, { ST_NOSUID, MOUNT_ATTR_NOSUID },   { ST_NODEV, MOUNT_ATTR_NODEV },
        { ST_NOEXEC, MOUNT_ATTR_NOEXEC }, { ST_NOATIME, MOUNT_ATTR_NOATIME },
    };
    unsigned int attributes = 0;
    for (const auto& [flag, attribute] : flags) {
        if (volume.f_flag & flag) {
            attributes |= attribute;
        }
    }
    return attributes;
}

// Each folder the layer lies over, as it is now; false, with the facts told why, when one cannot be seen.
bool findRoots(Isolation::Plan& p, const QByteArray& folder, const QList<QByteArray>& below)
{
    QList<QByteArray> paths { folder };
    paths += below;
    for (qsizetype i = 0; i < paths.size(); ++i) {
        Root root;
        root.path = paths[i];
        root.relative = paths[i].mid(folder.size() + 1);
        root.upper = "u" + QByteArray::number(i);
        root.work = "w" + QByteArray::number(i);
        struct stat rootStat = {};
        struct statvfs volume = {};
        if (::stat(root.path.constData(), &rootStat) != 0 || ::statvfs(root.path.constData(), &volume) != 0) {
            p.facts.unreadableRoot = QFile::decodeName(root.path);
            p.facts.rootError = errno;
            return false;
        }
        root.mode = rootStat.st_mode & 07777;
        root.uid = rootStat.st_uid;
        root.gid = rootStat.st_gid;
        root.times[0] = rootStat.st_atim;
        root.times[1] = rootStat.st_mtim;
        root.device = rootStat.st_dev;
        root.inode = rootStat.st_ino;
        root.file = !S_ISDIR(rootStat.st_mode);
        root.attributes = mountAttributes(volume);
        p.roots.push_back(root);
    }
    return true;
}

} // namespace

IsolationUnavailable isolationUnavailable()
{
    return IsolationUnavailable::Available;
}

IsolationFacts isolationFacts(const QString& dir)
{
    QByteArray folder;
    QList<QByteArray> below;
    return gather(dir, &folder, &below);
}

Isolation::Isolation(const QString& dir, qint64 bytes, std::optional<qint64> inodes)
    : d(std::make_unique<Plan>())
{
    Plan& p = *d;
    p.inodes = inodes;
    QByteArray folder;
    QList<QByteArray> below;
    p.facts = gather(dir, &folder, &below);
    if (p.facts.error != 0 || !p.facts.isFolder || !findRoots(p, folder, below)) {
        p.roots.clear();
        return;
    }
    p.newUserNamespace = !p.facts.asRoot;
    p.lowers.assign(p.roots.size(), -1);
    p.folders.assign(p.roots.size(), -1);
    p.laid.assign(p.roots.size(), Laid());
    p.userXattr = p.newUserNamespace || !inInitialUserNamespace();
    p.uidMap = QByteArray::number(::geteuid()) + ' ' + QByteArray::number(::geteuid()) + " 1";
    p.gidMap = QByteArray::number(::getegid()) + ' ' + QByteArray::number(::getegid()) + " 1";
    p.pageSize = std::max<long>(1, ::sysconf(_SC_PAGESIZE));
    p.pages = bytes / p.pageSize + (bytes % p.pageSize != 0);
    // A page more than the space to leave: tmpfs takes a size of 0 for no limit at all.
    p.layerSize = QByteArray::number((p.pages + 1) * p.pageSize);
    if (inodes) {
        // Room for the layer's own folders; cut to the files to leave once they are made.
        p.layerInodes = QByteArray::number(*inodes + 16 + 4 * static_cast<qint64>(p.roots.size()));
    }
    // The command starts where this program was started, reached again by its name once inside.
    char working[PATH_MAX];
    if (::getcwd(working, sizeof working) == nullptr) {
        p.facts.workingFolderError = errno;
        return;
    }
    p.workingFolder = working;
    p.workingInside = p.workingFolder == folder || p.workingFolder.startsWith(folder + '/');
    p.working = ::open(working, O_PATH | O_DIRECTORY | O_CLOEXEC);
    // The reports are read only once their writer is gone: never wait for one.
    if (::pipe2(p.reports, O_CLOEXEC | O_NONBLOCK) != 0 || ::pipe2(p.leftovers, O_CLOEXEC | O_NONBLOCK) != 0
        || ::pipe2(p.ended, O_CLOEXEC | O_NONBLOCK) != 0
        || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, p.channel) != 0) {
        p.facts.prepareError = errno;
    }
}

Isolation::~Isolation()
{
    for (int* fd : { &d->reports[0], &d->reports[1], &d->leftovers[0], &d->leftovers[1], &d->ended[0], &d->ended[1],
                     &d->channel[0], &d->channel[1], &d->working, &d->userNamespace, &d->mountNamespace, &d->layer }) {
        closeIfOpen(*fd);
    }
}

const IsolationFacts& Isolation::facts() const
{
    return d->facts;
}

QString Isolation::folder() const
{
    return d->facts.folder;
}

qint64 Isolation::bytesAvailable() const
{
    return d->pages * d->pageSize;
}

IsolationFailure Isolation::Plan::failure(Step step, int error) const
{
    IsolationFailure failed;
    failed.step = step;
    failed.error = error;
    failed.folder = facts.folder;
    failed.where = roots.empty() ? QString() : QFile::decodeName(roots.front().path);
    return failed;
}

IsolationFailure Isolation::Plan::heard() const
{
    Report told;
    if (::read(reports[0], &told, sizeof told) != static_cast<ssize_t>(sizeof told)) {
        return {};
    }
    told.detail[sizeof told.detail - 1] = '\0';
    IsolationFailure failed = failure(told.step, told.error);
    if (!roots.empty()) {
        failed.where = QFile::decodeName(roots[std::clamp<size_t>(told.root, 0, roots.size() - 1)].path);
    }
    failed.detail = QString::fromLocal8Bit(told.detail);
    // Found, but not the very folder planned: that says it all.
    if (told.step == Step::Replaced && told.error == ESTALE) {
        failed.error = 0;
    }
    // An ordinary user's namespaces can be forbidden in several ways: which one it is.
    const bool refused = told.error == EPERM || told.error == EACCES;
    if (told.step == Step::UserNamespace && told.error == ENOSPC) {
        failed.bar = readSmallFile("/proc/sys/user/max_user_namespaces") == "0" ? NamespaceBar::NoUserNamespaces
                                                                                : NamespaceBar::UserNamespacesUsedUp;
    } else if (newUserNamespace && refused && readSmallFile("/proc/sys/kernel/unprivileged_userns_clone") == "0") {
        failed.bar = NamespaceBar::UnprivilegedClone;
    } else if (newUserNamespace && refused
               && readSmallFile("/proc/sys/kernel/apparmor_restrict_unprivileged_userns") == "1") {
        failed.bar = NamespaceBar::AppArmor;
    } else if (told.step == Step::UserNamespace) {
        failed.bar = NamespaceBar::UserNamespaceRefused;
    } else if (told.step == Step::ProcessNamespace && told.error == ENOSPC) {
        failed.bar = readSmallFile("/proc/sys/user/max_pid_namespaces") == "0" ? NamespaceBar::NoPidNamespaces
                                                                               : NamespaceBar::PidNamespacesUsedUp;
    }
    return failed;
}

IsolationFailure Isolation::lay()
{
    Plan& p = *d;
    if (p.roots.empty() || p.facts.workingFolderError != 0 || p.facts.prepareError != 0) {
        return p.failure(IsolationStep::Unprepared, 0);
    }
    // The process that builds the namespaces ends once the parent holds them: it waits for this
    // pipe to close, which also happens should the parent die.
    int release[2] = { -1, -1 };
    if (::pipe2(release, O_CLOEXEC) != 0) {
        return p.failure(IsolationStep::Fork, errno);
    }
    UniqueFd releaseRead(release[0]);
    UniqueFd releaseWrite(release[1]);
    const pid_t builder = ::fork();
    if (builder == 0) {
        ::close(release[1]);
        p.buildAndHandOver(release[0]);
    }
    const int forkError = errno;
    releaseRead.reset();
    closeIfOpen(p.channel[1]);
    IsolationFailure failure;
    if (builder < 0) {
        failure = p.failure(IsolationStep::Fork, forkError);
    } else {
        p.layer = receiveDescriptor(p.channel[0]);
        // The overlays as laid, for the command's process to know them again.
        auto* into = reinterpret_cast<char*>(p.laid.data());
        for (size_t got = 0, all = p.laid.size() * sizeof(Laid); p.layer >= 0 && got < all;) {
            const ssize_t n = ::read(p.channel[0], into + got, all - got);
            if (n <= 0 && !(n < 0 && errno == EINTR)) {
                closeIfOpen(p.layer);
                errno = n < 0 ? errno : EPIPE;
                break;
            }
            got += static_cast<size_t>(std::max<ssize_t>(n, 0));
        }
        const QByteArray namespaces = "/proc/" + QByteArray::number(builder) + "/ns/";
        if (p.layer >= 0 && p.newUserNamespace) {
            p.userNamespace = ::open((namespaces + "user").constData(), O_RDONLY | O_CLOEXEC);
        }
        if (p.layer >= 0) {
            p.mountNamespace = ::open((namespaces + "mnt").constData(), O_RDONLY | O_CLOEXEC);
        }
        const int openError = errno;
        releaseWrite.reset();
        int status = 0;
        while (::waitpid(builder, &status, 0) < 0 && errno == EINTR) { }
        failure = p.heard();
        if (!failure.failed() && (p.mountNamespace < 0 || (p.newUserNamespace && p.userNamespace < 0))) {
            failure = p.failure(IsolationStep::NotHandedOver, p.layer < 0 ? EPIPE : openError);
        }
    }
    if (failure.failed()) {
        for (int* fd : { &p.userNamespace, &p.mountNamespace, &p.layer }) {
            closeIfOpen(*fd);
        }
    }
    return failure;
}

IsolationFailure Isolation::joinFailure() const
{
    return d->heard();
}

bool Isolation::commandEnded() const
{
    pollfd told = { d->ended[0], POLLIN, 0 };
    return d->ended[0] >= 0 && ::poll(&told, 1, 0) > 0;
}

Leftovers Isolation::leftovers() const
{
    Leftovers left;
    if (::read(d->leftovers[0], &left, sizeof left) != static_cast<ssize_t>(sizeof left)) {
        return {};
    }
    return left;
}

} // namespace platform
