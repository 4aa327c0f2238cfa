#include "platform/isolate.h"
#include "platform/process.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <iterator>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

// What the child was doing when it failed.
enum class Step : int {
    UserNamespace = 1,
    IdMaps,
    MountNamespace,
    Private,
    Lower,
    Layer,
    LayerFolders,
    Overlay,
    Ballast,
    InodeLimit,
    Handover,
    Join,
    ProcessNamespace,
    Replaced, // handled before the step texts
};

// What the child tells the parent when it cannot lay the layer: one write, so one read.
struct Report
{
    Step step = Step::UserNamespace;
    int error = 0;
    int root = 0; // which of the folders
    char detail[200] = {}; // the kernel's own words, where it has any
};

// Text put together without allocating: between fork and exec nothing may take a lock that another
// thread of the parent held.
class Text
{
public:
    Text& operator<<(const char* text)
    {
        while (*text != '\0' && m_size + 1 < sizeof m_data) {
            m_data[m_size++] = *text++;
        }
        m_data[m_size] = '\0';
        return *this;
    }
    Text& operator<<(long long number)
    {
        char digits[24];
        int count = 0;
        unsigned long long rest = number < 0 ? 0ULL - static_cast<unsigned long long>(number) : number;
        do {
            digits[count++] = static_cast<char>('0' + rest % 10);
            rest /= 10;
        } while (rest != 0);
        if (number < 0) {
            digits[count++] = '-';
        }
        char reversed[24];
        for (int i = 0; i < count; ++i) {
            reversed[i] = digits[count - 1 - i];
        }
        reversed[count] = '\0';
        return *this << static_cast<const char*>(reversed);
    }
    const char* text() const { return m_data; }

private:
    char m_data[512] = {};
    size_t m_size = 0;
};

bool writeProcFile(const char* path, const char* text)
{
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const auto length = static_cast<ssize_t>(std::strlen(text));
    const bool written = ::write(fd, text, static_cast<size_t>(length)) == length;
    const int error = errno;
    ::close(fd);
    errno = error;
    return written;
}

// A folder by its real path, through no symbolic link: one found on the way was put there since the
// path was resolved, by whoever may change the folders above, and could lead elsewhere.
int openFolder(const char* path)
{
    open_how how = {};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS;
    return static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how));
}

// The same for a file mounted below the folder (a bind mount of a single file).
int openFile(const char* path)
{
    open_how how = {};
    how.flags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS;
    return static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how));
}

bool setOption(int context, const char* key, const char* value)
{
    return ::fsconfig(context, FSCONFIG_SET_STRING, key, value, 0) == 0;
}

QByteArray readSmallFile(const char* path)
{
    QFile file(QString::fromLatin1(path));
    return file.open(QIODevice::ReadOnly) ? file.read(4096).trimmed() : QByteArray();
}

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The kernel's pseudo file systems: nothing there is data on a volume.
const char* pseudoFileSystem(unsigned long type)
{
    struct Named
    {
        unsigned long type;
        const char* name;
    };
    static const Named named[] = {
        { PROC_SUPER_MAGIC, "proc" },
        { SYSFS_MAGIC, "sysfs" },
        { DEBUGFS_MAGIC, "debugfs" },
        { TRACEFS_MAGIC, "tracefs" },
        { SECURITYFS_MAGIC, "securityfs" },
        { 0x62656570, "configfs" },
        { CGROUP_SUPER_MAGIC, "cgroup" },
        { CGROUP2_SUPER_MAGIC, "cgroup2" },
        { BPF_FS_MAGIC, "bpf" },
        { EFIVARFS_MAGIC, "efivarfs" },
        { PSTOREFS_MAGIC, "pstore" },
        { DEVPTS_SUPER_MAGIC, "devpts" },
        { BINFMTFS_MAGIC, "binfmt_misc" },
        { NSFS_MAGIC, "nsfs" },
        { 0x19800202, "mqueue" },
        { 0x65735543, "fusectl" },
    };
    for (const Named& entry : named) {
        if (entry.type == type) {
            return entry.name;
        }
    }
    return nullptr;
}

// The mount points strictly below folder, parents before what is mounted inside them.
QList<QByteArray> mountsBelow(const QByteArray& folder)
{
    QFile mountInfo(QStringLiteral("/proc/self/mountinfo"));
    QList<QByteArray> found;
    if (!mountInfo.open(QIODevice::ReadOnly)) {
        return found;
    }
    const QByteArray prefix = folder + '/';
    for (const QByteArray& line : mountInfo.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 5) {
            continue;
        }
        // Blanks, tabs, new lines and backslashes in the mount point are written as \ooo.
        QByteArray point;
        const QByteArray& written = fields[4];
        for (qsizetype i = 0; i < written.size(); ++i) {
            if (written[i] == '\\' && i + 3 < written.size()) {
                bool ok = false;
                const int code = written.mid(i + 1, 3).toInt(&ok, 8);
                if (ok) {
                    point += static_cast<char>(code);
                    i += 3;
                    continue;
                }
            }
            point += written[i];
        }
        if (point.startsWith(prefix) && !found.contains(point)) {
            found.append(point);
        }
    }
    std::sort(found.begin(), found.end(), [](const QByteArray& a, const QByteArray& b) {
        return a.count('/') < b.count('/') || (a.count('/') == b.count('/') && a < b);
    });
    return found;
}

QString userName(uid_t uid)
{
    const passwd* entry = ::getpwuid(uid);
    const QString id = QStringLiteral("uid %1").arg(uid);
    return entry == nullptr ? id : QStringLiteral("%1 (%2)").arg(QString::fromLocal8Bit(entry->pw_name), id);
}

// Root's layer is laid, and the command started, by path: if another user can rename or replace a
// folder on the way (its own, or an entry of a folder others may write to without the sticky bit),
// the path can lead elsewhere at any moment. Why, for the first such folder; empty when none.
QString replaceableFolder(const QByteArray& folder)
{
    for (QByteArray path = folder, above;; path = above) {
        struct stat own = {};
        struct stat parent = {};
        above = path.left(std::max<qsizetype>(1, path.lastIndexOf('/')));
        if (::lstat(path.constData(), &own) != 0 || ::lstat(above.constData(), &parent) != 0) {
            return QFile::decodeName(path) + QStringLiteral(": ") + errorText(errno);
        }
        const QString name = QFile::decodeName(path);
        if (own.st_uid != 0) {
            return QStringLiteral("%1 belongs to %2, who can rename or replace the folders in it while the isolation "
                                  "runs, leading root's paths elsewhere: run the isolation as %2 instead (it needs no "
                                  "root)")
                .arg(name, userName(own.st_uid));
        }
        if (path != "/" && !(parent.st_mode & S_ISVTX)
            && ((parent.st_mode & S_IWOTH) || ((parent.st_mode & S_IWGRP) && parent.st_gid != 0))) {
            const QString who = (parent.st_mode & S_IWOTH) ? QStringLiteral("any user")
                                                           : QStringLiteral("the group gid %1").arg(parent.st_gid);
            return QStringLiteral("%1 can be renamed or replaced by %2 (%3 is writable by them, without the sticky "
                                  "bit) while the isolation runs, leading root's paths elsewhere: run the isolation as "
                                  "the user it is for instead (it needs no root)")
                .arg(name, who, QFile::decodeName(above));
        }
        if (path == "/") {
            return {};
        }
    }
}

bool inInitialUserNamespace()
{
    const QList<QByteArray> map = readSmallFile("/proc/self/uid_map").simplified().split(' ');
    return map.size() == 3 && map[0] == "0" && map[1] == "0" && map[2] == "4294967295";
}

// Bytes of memory the machine can still give, swap included; -1 when not known.
qint64 memoryAvailable()
{
    qint64 bytes = -1;
    for (const QByteArray& line : readSmallFile("/proc/meminfo").split('\n')) {
        if (line.startsWith("MemAvailable:") || line.startsWith("SwapFree:")) {
            bytes = std::max<qint64>(bytes, 0) + line.simplified().split(' ').value(1).toLongLong() * 1024;
        }
    }
    return bytes;
}

bool sendDescriptor(int socket, int fd)
{
    char byte = 0;
    iovec data = { &byte, 1 };
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message = {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    return ::sendmsg(socket, &message, MSG_NOSIGNAL) == 1;
}

int receiveDescriptor(int socket)
{
    char byte = 0;
    iovec data = { &byte, 1 };
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message = {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (::recvmsg(socket, &message, MSG_CMSG_CLOEXEC) != 1) {
        return -1;
    }
    const cmsghdr* header = CMSG_FIRSTHDR(&message);
    if (header == nullptr || header->cmsg_type != SCM_RIGHTS || header->cmsg_len != CMSG_LEN(sizeof(int))) {
        return -1;
    }
    int fd = -1;
    std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
    return fd;
}

void closeIfOpen(int& fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// Ending the namespace's first process ends everything COMMAND started: it tells the process the
// filler waits for how COMMAND ended, and what was left.
struct Ending
{
    int status = 0; // COMMAND's, as waitpid() has it
    Leftovers left;
};

qint64 monotonicMilliseconds()
{
    timespec now = {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<qint64>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Closes every descriptor from 3 up but keep and alsoKeep (-1 for none).
void closeAllBut(int keep, int alsoKeep)
{
    unsigned int from = 3;
    for (const int fd : { std::min(keep, alsoKeep), std::max(keep, alsoKeep) }) {
        if (fd >= static_cast<int>(from)) {
            if (static_cast<unsigned int>(fd) > from) {
                ::close_range(from, static_cast<unsigned int>(fd) - 1, 0);
            }
            from = static_cast<unsigned int>(fd) + 1;
        }
    }
    ::close_range(from, ~0U, 0);
}

// A number at text, and past it and one separator.
long long numberAt(const char*& text)
{
    long long number = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        number = number * 10 + (*text - '0');
    }
    if (*text != '\0') {
        ++text;
    }
    return number;
}

// The other processes of this process namespace, as the system's /proc shows them: those in group
// (COMMAND's process group, by its number outside), and those that left it. System calls only.
Leftovers othersHere(pid_t group)
{
    Leftovers found;
    struct stat own = {};
    char self[24] = {};
    const int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0 || ::stat("/proc/self/ns/pid", &own) != 0 || ::readlink("/proc/self", self, sizeof self - 1) <= 0) {
        if (proc >= 0) {
            ::close(proc);
        }
        return found;
    }
    alignas(dirent64) char entries[4096];
    for (ssize_t got; (got = ::getdents64(proc, entries, sizeof entries)) > 0;) {
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
            at += entry->d_reclen;
            const char* name = entry->d_name;
            if (name[0] < '1' || name[0] > '9' || std::strcmp(name, self) == 0) {
                continue;
            }
            Text path;
            path << "/proc/" << name << "/ns/pid";
            struct stat ns = {};
            if (::stat(path.text(), &ns) != 0 || ns.st_ino != own.st_ino || ns.st_dev != own.st_dev) {
                continue;
            }
            // "PID (NAME) STATE PPID PGRP ...": NAME is short, but may hold anything.
            Text statPath;
            statPath << "/proc/" << name << "/stat";
            char line[256] = {};
            const int fd = ::open(statPath.text(), O_RDONLY | O_CLOEXEC);
            const ssize_t length = fd < 0 ? -1 : ::read(fd, line, sizeof line - 1);
            if (fd >= 0) {
                ::close(fd);
            }
            const char* rest = length > 0 ? std::strrchr(line, ')') : nullptr;
            long long processGroup = -1;
            if (rest != nullptr && rest[1] == ' ' && rest[2] != '\0' && rest[3] == ' ') {
                rest += 4;
                numberAt(rest);
                processGroup = numberAt(rest);
            }
            ++(processGroup == group ? found.inGroup : found.outside);
        }
    }
    ::close(proc);
    return found;
}

bool anyOtherHere()
{
    return ::kill(-1, 0) == 0 || errno == EPERM;
}

// The first process of COMMAND's process namespace, once COMMAND is forked: reaps what is left to it
// and, once COMMAND has ended, ends the rest, tells ending how, and goes, taking what still runs.
[[noreturn]] void beFirstProcess(pid_t command, pid_t group, int ending, int ended)
{
    // The kernel spares the first process every signal it has no handler for.
    struct sigaction plain = {};
    plain.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) {
        ::sigaction(signal, &plain, nullptr);
    }
    sigset_t childEnded;
    sigemptyset(&childEnded);
    sigaddset(&childEnded, SIGCHLD);
    ::sigprocmask(SIG_SETMASK, &childEnded, nullptr);
    Ending told;
    bool commandEnded = false;
    const auto reap = [&] {
        int status = 0;
        for (pid_t pid; (pid = ::waitpid(-1, &status, WNOHANG | __WALL)) > 0;) {
            if (pid == command) {
                told.status = status;
                commandEnded = true;
            }
        }
    };
    for (reap(); !commandEnded; reap()) {
        ::sigwaitinfo(&childEnded, nullptr);
    }
    (void)!::write(ended, "e", 1);
    if (anyOtherHere()) {
        told.left = othersHere(group);
        if (told.left.inGroup + told.left.outside == 0) {
            told.left.outside = 1; // there is no /proc to count them in
        }
        ::kill(-1, SIGTERM);
        ::kill(-1, SIGCONT); // a stopped process acts on SIGTERM only once continued
        const qint64 deadline = monotonicMilliseconds() + CommandGroup::graceMilliseconds;
        for (qint64 left; (reap(), anyOtherHere()) && (left = deadline - monotonicMilliseconds()) > 0;) {
            const timespec wait { static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000 };
            ::sigtimedwait(&childEnded, nullptr, &wait);
        }
        if (anyOtherHere()) {
            const Leftovers still = othersHere(group);
            told.left.stubborn = std::max(1, still.inGroup + still.outside);
        }
    }
    (void)!::write(ending, &told, sizeof told);
    // The kernel kills what is still here, and this process counts as ended only once it is all gone.
    ::_exit(0);
}

// Ends the way status says a process ended: with its exit code, or by its signal.
[[noreturn]] void endAs(int status)
{
    if (!WIFSIGNALED(status)) {
        ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 127);
    }
    const int signal = WTERMSIG(status);
    // COMMAND dumped its core if it was to; this process has none worth keeping.
    const rlimit noCore = {};
    ::setrlimit(RLIMIT_CORE, &noCore);
    struct sigaction plain = {};
    plain.sa_handler = SIG_DFL;
    ::sigaction(signal, &plain, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::raise(signal);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::_exit(128 + signal);
}

// Walks a layer: counts what the command made or changed and, given a folder to copy into, copies it.
class LayerWalk
{
public:
    explicit LayerWalk(bool keepOwners)
        : m_keepOwners(keepOwners)
    {
    }

    qint64 files = 0;
    qint64 notCopied = 0;
    QString firstProblem;
    std::function<bool()> stopped; // asked between entries and chunks: true ends the copy where it is
    bool interrupted = false;

    bool stop() { return interrupted = interrupted || (stopped && stopped()); }

    // to: the folder to copy into, -1 to count only.
    void folder(int from, int to)
    {
        DIR* listing = ::fdopendir(::fcntl(from, F_DUPFD_CLOEXEC, 0));
        if (listing == nullptr) {
            note(errno, ".");
            return;
        }
        while (const dirent* entry = stop() ? nullptr : ::readdir(listing)) {
            const char* name = entry->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
                continue;
            }
            struct stat st = {};
            if (::fstatat(from, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                note(errno, name);
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
    void finish(int fd, const struct stat& st)
    {
        if (m_keepOwners) {
            (void)::fchown(fd, st.st_uid, st.st_gid);
        }
        ::fchmod(fd, st.st_mode & 07777);
        const timespec times[2] = { st.st_atim, st.st_mtim };
        ::futimens(fd, times);
    }

private:
    void note(int error, const char* name)
    {
        ++notCopied;
        if (firstProblem.isEmpty()) {
            firstProblem = QStringLiteral("%1: %2").arg(QFile::decodeName(name), errorText(error));
        }
    }

    void subfolder(int from, int to, const char* name, const struct stat& st)
    {
        const int source = ::openat(from, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int target = -1;
        if (to >= 0) {
            if (::mkdirat(to, name, 0700) != 0 && errno != EEXIST) {
                note(errno, name);
            }
            target = ::openat(to, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (source < 0) {
            note(errno, name);
        } else {
            folder(source, target);
        }
        if (target >= 0) {
            finish(target, st);
        }
        closeIfOpen(target);
        ::close(source);
    }

    void copy(int from, int to, const char* name, const struct stat& st)
    {
        bool done = false;
        if (S_ISREG(st.st_mode)) {
            int source = ::openat(from, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            int target = ::openat(to, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            done = source >= 0 && target >= 0 && copyData(source, target);
            if (done) {
                finish(target, st);
            }
            const int error = errno;
            closeIfOpen(source);
            closeIfOpen(target);
            errno = error;
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
            note(errno, name);
        }
    }

    bool copyData(int source, int target)
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

    const bool m_keepOwners;
};

// One folder the layer lies over: the isolated folder itself, then each volume mounted below it.
struct Root
{
    QByteArray path;
    QByteArray relative; // below the isolated folder; empty for the folder itself
    QByteArray upper; // its part of the layer, and the work folder overlayfs needs beside it
    QByteArray work;
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    timespec times[2] = {};
    unsigned int attributes = 0; // the mount's own: read-only, nosuid, nodev, noexec, noatime
    dev_t device = 0; // as planned: what is found there later must be the very same
    ino_t inode = 0;
    bool file = false; // a file mounted below the folder: shown read-only, no layer of its own
};

// An overlay as it was laid: its mount and its top folder, to know it again.
struct Laid
{
    std::uint64_t mount = 0;
    std::uint64_t inode = 0;
};

} // namespace

struct Isolation::Plan
{
    QString error;
    QString warning;
    QString folder;
    std::vector<Root> roots;
    bool newUserNamespace = false; // an ordinary user: a user namespace of its own, the same ids in it
    bool userXattr = false; // overlayfs keeps its marks in user.* attributes outside the first user namespace
    QByteArray uidMap;
    QByteArray gidMap;
    qint64 pageSize = 4096;
    qint64 pages = 0; // the space to leave
    std::optional<qint64> inodes;
    QByteArray layerSize;
    QByteArray layerInodes;
    QByteArray workingFolder;
    bool workingInside = false; // the working folder is in the isolated one
    int working = -1;
    int reports[2] = { -1, -1 }; // pipe: a child's Report when it fails
    int channel[2] = { -1, -1 }; // socket pair: the layer's volume handed over
    int leftovers[2] = { -1, -1 }; // pipe: what COMMAND left, once it ended
    int ended[2] = { -1, -1 }; // pipe: a byte once COMMAND ended, before what it left is ended
    // Held by the parent once the layer is laid: they keep the namespaces and the layer in being.
    int userNamespace = -1;
    int mountNamespace = -1;
    int layer = -1;
    // In the process that builds them: made ready beforehand, as nothing is allocated there.
    std::vector<int> lowers;
    std::vector<int> folders; // each root's folder, found once: its copy and its overlay go there
    std::vector<Laid> laid; // told by the process that builds them

    // Builds the namespaces and the layer, in a child process of its own. Returns the layer's volume.
    int build();
    // Tells the parent why, and ends the process that builds the namespaces.
    [[noreturn]] void fail(Step step, int error, int root = 0, int context = -1) const;
    // In the command's process, once it joined: makes a process namespace and its first process,
    // which forks the command. Only the command returns; the process it was follows how it ends.
    int ownProcesses() const;
    // Tells the parent why; error back for the caller.
    int report(Step step, int error, int root = 0, int context = -1) const;
    // In the command's process, right before exec: DIR's path, and the working folder if inside it,
    // still lead to the overlays laid. 0, or the errno value once reported.
    int checkLayer() const;
    QString explain(const Report& report) const;
    // A child's report, if one came.
    QString heard() const;
};

int Isolation::Plan::report(Step step, int error, int root, int context) const
{
    // Small and on the stack: in a child that shares the parent's memory and a small stack.
    Report told;
    told.step = step;
    told.error = error;
    told.root = root;
    // The kernel explains a refused mount in the file system context's log: "e overlay: ...".
    for (int i = 0; context >= 0 && i < 8; ++i) {
        const ssize_t n = ::read(context, told.detail, sizeof told.detail - 1);
        if (n <= 0) {
            told.detail[0] = '\0';
            break;
        }
        told.detail[n] = '\0';
        if (told.detail[0] == 'e') {
            break;
        }
    }
    (void)!::write(reports[1], &told, sizeof told);
    return error;
}

void Isolation::Plan::fail(Step step, int error, int root, int context) const
{
    report(step, error, root, context);
    ::_exit(2);
}

QString Isolation::Plan::heard() const
{
    Report told;
    if (::read(reports[0], &told, sizeof told) != static_cast<ssize_t>(sizeof told)) {
        return {};
    }
    told.detail[sizeof told.detail - 1] = '\0';
    return explain(told);
}

QString isolationUnavailable()
{
    return {};
}

Isolation::Isolation(const QString& dir, qint64 bytes, std::optional<qint64> inodes)
    : d(std::make_unique<Plan>())
{
    Plan& p = *d;
    p.inodes = inodes;
    const QByteArray given = QFile::encodeName(dir);
    char* resolved = given.isEmpty() ? nullptr : ::realpath(given.constData(), nullptr);
    if (resolved == nullptr) {
        p.error = given.isEmpty() ? QStringLiteral("--isolate needs a folder")
                                  : dir + QStringLiteral(": ") + errorText(errno);
        return;
    }
    const QByteArray folder(resolved);
    std::free(resolved);
    p.folder = QFile::decodeName(folder);
    struct stat st = {};
    struct statfs fs = {};
    if (::stat(folder.constData(), &st) != 0 || ::statfs(folder.constData(), &fs) != 0) {
        p.error = dir + QStringLiteral(": ") + errorText(errno);
        return;
    }
    if (!S_ISDIR(st.st_mode)) {
        p.error = QStringLiteral("%1 is not a folder").arg(dir);
        return;
    }
    if (folder == "/") {
        p.error = QStringLiteral("%1 is the root folder: --isolate takes a folder below it").arg(dir);
        return;
    }
    if (const char* pseudo = pseudoFileSystem(static_cast<unsigned long>(fs.f_type))) {
        p.error
            = QStringLiteral("%1 is on the kernel's %2 file system, not on a volume").arg(dir, QLatin1String(pseudo));
        return;
    }
    p.newUserNamespace = ::geteuid() != 0;
    if (!p.newUserNamespace) {
        if (const QString why = replaceableFolder(folder); !why.isEmpty()) {
            p.error = QStringLiteral("cannot isolate %1 as root: ").arg(dir) + why;
            return;
        }
    }
    // In a user namespace of its own, an ordinary user cannot give the layer another user's files.
    if (p.newUserNamespace && st.st_uid != ::geteuid()) {
        p.error = QStringLiteral("%1 belongs to another user: as an ordinary user, --isolate takes a folder of your "
                                 "own (or run it as root)")
                      .arg(dir);
        return;
    }
    const QList<QByteArray> below = mountsBelow(folder);
    // The kernel does not let a user namespace see under the mounts it was given, and a layer over
    // the folder would show what is under them.
    if (p.newUserNamespace && !below.isEmpty()) {
        p.error = QStringLiteral("a volume is mounted below %1 (at %2): the kernel lets only root lay a layer over "
                                 "such a folder; run it as root, or isolate a folder without one")
                      .arg(dir, QFile::decodeName(below.first()));
        return;
    }
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
            p.error = QFile::decodeName(root.path) + QStringLiteral(": ") + errorText(errno);
            return;
        }
        root.mode = rootStat.st_mode & 07777;
        root.uid = rootStat.st_uid;
        root.gid = rootStat.st_gid;
        root.times[0] = rootStat.st_atim;
        root.times[1] = rootStat.st_mtim;
        root.device = rootStat.st_dev;
        root.inode = rootStat.st_ino;
        root.file = !S_ISDIR(rootStat.st_mode);
        const std::pair<unsigned long, unsigned int> flags[] = {
            { ST_RDONLY, MOUNT_ATTR_RDONLY }, { ST_NOSUID, MOUNT_ATTR_NOSUID },   { ST_NODEV, MOUNT_ATTR_NODEV },
            { ST_NOEXEC, MOUNT_ATTR_NOEXEC }, { ST_NOATIME, MOUNT_ATTR_NOATIME },
        };
        for (const auto& [flag, attribute] : flags) {
            if (volume.f_flag & flag) {
                root.attributes |= attribute;
            }
        }
        p.roots.push_back(root);
    }
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
        p.error = QStringLiteral("cannot tell the working folder (%1): start from another one").arg(errorText(errno));
        return;
    }
    p.workingFolder = working;
    p.workingInside = p.workingFolder == folder || p.workingFolder.startsWith(folder + '/');
    p.working = ::open(working, O_PATH | O_DIRECTORY | O_CLOEXEC);
    const qint64 memory = memoryAvailable();
    if (memory >= 0 && p.pages * p.pageSize > memory) {
        p.warning = QStringLiteral("the layer lives in memory, and this machine has only %1 bytes of memory and swap "
                                   "free for the %2 to leave")
                        .arg(memory)
                        .arg(p.pages * p.pageSize);
    }
    // The reports are read only once their writer is gone: never wait for one.
    if (::pipe2(p.reports, O_CLOEXEC | O_NONBLOCK) != 0 || ::pipe2(p.leftovers, O_CLOEXEC | O_NONBLOCK) != 0
        || ::pipe2(p.ended, O_CLOEXEC | O_NONBLOCK) != 0
        || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, p.channel) != 0) {
        p.error = QStringLiteral("cannot prepare the layer: ") + errorText(errno);
    }
}

Isolation::~Isolation()
{
    for (int* fd : { &d->reports[0], &d->reports[1], &d->leftovers[0], &d->leftovers[1], &d->ended[0], &d->ended[1],
                     &d->channel[0], &d->channel[1], &d->working, &d->userNamespace, &d->mountNamespace, &d->layer }) {
        closeIfOpen(*fd);
    }
}

QString Isolation::error() const
{
    return d->error;
}

QString Isolation::warning() const
{
    return d->warning;
}

QString Isolation::folder() const
{
    return d->folder;
}

qint64 Isolation::bytesAvailable() const
{
    return d->pages * d->pageSize;
}

int Isolation::Plan::build()
{
    const Plan& p = *this;
    if (p.newUserNamespace) {
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
            p.fail(Step::UserNamespace, errno);
        }
        // The same ids inside as outside, so files keep their owners and id shows no change.
        if (!writeProcFile("/proc/self/setgroups", "deny") || !writeProcFile("/proc/self/uid_map", p.uidMap.constData())
            || !writeProcFile("/proc/self/gid_map", p.gidMap.constData())) {
            p.fail(Step::IdMaps, errno);
        }
    } else if (::unshare(CLONE_NEWNS) != 0) {
        p.fail(Step::MountNamespace, errno);
    }
    // Before anything is mounted: nothing mounted here may reach the rest of the system.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        p.fail(Step::Private, errno);
    }
    // The lower layers: read-only copies of the folder and of each volume below it, taken before
    // anything covers them. Read-only, so not even an access time reaches the disk.
    for (size_t i = 0; i < p.roots.size(); ++i) {
        const Root& root = p.roots[i];
        folders[i] = root.file ? openFile(root.path.constData()) : openFolder(root.path.constData());
        // Found by path again after the checks: only the very folder planned will do.
        struct stat found = {};
        if (folders[i] >= 0
            && (::fstat(folders[i], &found) != 0 || found.st_dev != root.device || found.st_ino != root.inode)) {
            p.fail(Step::Replaced, ESTALE, static_cast<int>(i));
        }
        lowers[i]
            = folders[i] < 0 ? -1 : ::open_tree(folders[i], "", AT_EMPTY_PATH | OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC);
        mount_attr readOnly = {};
        readOnly.attr_set = MOUNT_ATTR_RDONLY;
        if (lowers[i] < 0 || ::mount_setattr(lowers[i], "", AT_EMPTY_PATH, &readOnly, sizeof readOnly) != 0) {
            p.fail(Step::Lower, errno, static_cast<int>(i));
        }
    }
    for (size_t i = 0; i < p.roots.size(); ++i) {
        if (!p.roots[i].file
            && ::move_mount(lowers[i], "", folders[i], "", MOVE_MOUNT_F_EMPTY_PATH | MOVE_MOUNT_T_EMPTY_PATH) != 0) {
            p.fail(Step::Lower, errno, static_cast<int>(i));
        }
    }

    // The layer: a file system in memory, never attached anywhere but under the overlays.
    const int context = ::fsopen("tmpfs", FSOPEN_CLOEXEC);
    if (context < 0) {
        p.fail(Step::Layer, errno);
    }
    if (!setOption(context, "source", "tallowmere") || !setOption(context, "size", p.layerSize.constData())
        || !setOption(context, "mode", "0700")
        || (p.inodes && !setOption(context, "nr_inodes", p.layerInodes.constData()))
        || ::fsconfig(context, FSCONFIG_CMD_CREATE, nullptr, nullptr, 0) != 0) {
        p.fail(Step::Layer, errno, 0, context);
    }
    const int layer = ::fsmount(context, FSMOUNT_CLOEXEC, 0);
    if (layer < 0) {
        p.fail(Step::Layer, errno, 0, context);
    }
    ::close(context);
    for (size_t i = 0; i < p.roots.size(); ++i) {
        const Root& root = p.roots[i];
        if (root.file) {
            continue;
        }
        if (::mkdirat(layer, root.upper.constData(), 0700) != 0 || ::mkdirat(layer, root.work.constData(), 0700) != 0) {
            p.fail(Step::LayerFolders, errno, static_cast<int>(i));
        }
        // The top of a layer stands for the folder itself: its owner, permissions and times.
        if (!p.newUserNamespace) {
            (void)::fchownat(layer, root.upper.constData(), root.uid, root.gid, 0);
        }
        if (::fchmodat(layer, root.upper.constData(), root.mode, 0) != 0
            || ::utimensat(layer, root.upper.constData(), root.times, 0) != 0) {
            p.fail(Step::LayerFolders, errno, static_cast<int>(i));
        }
    }
    // Parents first: a volume below the folder is reached through the overlay laid over the folder.
    for (size_t i = 0; i < p.roots.size(); ++i) {
        const Root& root = p.roots[i];
        // A file mounted below: its read-only copy goes onto its place in the overlay of its folder,
        // so the command reads it and its writes fail (EROFS).
        if (root.file) {
            ::close(folders[i]);
            folders[i] = openFile(root.path.constData());
            if (folders[i] < 0
                || ::move_mount(lowers[i], "", folders[i], "", MOVE_MOUNT_F_EMPTY_PATH | MOVE_MOUNT_T_EMPTY_PATH)
                    != 0) {
                p.fail(Step::Overlay, errno, static_cast<int>(i));
            }
            continue;
        }
        Text lower;
        Text upper;
        Text work;
        lower << "/proc/self/fd/" << lowers[i];
        upper << "/proc/self/fd/" << layer << "/" << root.upper.constData();
        work << "/proc/self/fd/" << layer << "/" << root.work.constData();
        const int overlay = ::fsopen("overlay", FSOPEN_CLOEXEC);
        if (overlay < 0) {
            p.fail(Step::Overlay, errno, static_cast<int>(i));
        }
        // No redirects, index or metadata-only copies: what an ordinary user's overlay cannot have,
        // root's does not have either, so both behave alike.
        const bool configured = setOption(overlay, "source", "tallowmere")
            && setOption(overlay, "lowerdir", lower.text()) && setOption(overlay, "upperdir", upper.text())
            && setOption(overlay, "workdir", work.text())
            && (p.userXattr ? ::fsconfig(overlay, FSCONFIG_SET_FLAG, "userxattr", nullptr, 0) == 0
                            : setOption(overlay, "redirect_dir", "off") && setOption(overlay, "index", "off")
                        && setOption(overlay, "metacopy", "off"))
            && ::fsconfig(overlay, FSCONFIG_CMD_CREATE, nullptr, nullptr, 0) == 0;
        const int mounted = configured ? ::fsmount(overlay, FSMOUNT_CLOEXEC, root.attributes) : -1;
        // Known again by its mount and top folder, right before the command starts.
        struct statx top = {};
        if (mounted >= 0) {
            if (::statx(mounted, "", AT_EMPTY_PATH, STATX_INO | STATX_MNT_ID, &top) != 0) {
                p.fail(Step::Overlay, errno, static_cast<int>(i));
            }
            if (!(top.stx_mask & STATX_MNT_ID)) {
                p.fail(Step::Overlay, ENOSYS, static_cast<int>(i));
            }
            laid[i].mount = top.stx_mnt_id;
            laid[i].inode = top.stx_ino;
        }
        // A volume below the folder is found again, through the overlay just laid over its parent.
        if (i > 0) {
            ::close(folders[i]);
            folders[i] = openFolder(root.path.constData());
        }
        if (mounted < 0
            || ::move_mount(mounted, "", folders[i], "", MOVE_MOUNT_F_EMPTY_PATH | MOVE_MOUNT_T_EMPTY_PATH) != 0) {
            p.fail(Step::Overlay, errno, static_cast<int>(i), overlay);
        }
        ::close(mounted);
        ::close(overlay);
    }

    // What the layer's own folders and marks take is not the command's: a ballast file outside every
    // overlay takes all but the space to leave.
    struct statvfs space = {};
    if (::fstatvfs(layer, &space) != 0) {
        p.fail(Step::Ballast, errno);
    }
    const auto unit = static_cast<qint64>(space.f_frsize);
    const qint64 spare = static_cast<qint64>(space.f_bavail) * unit - p.pages * p.pageSize;
    if (spare > 0) {
        const int ballast = ::openat(layer, "ballast", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (ballast < 0 || ::fallocate(ballast, 0, 0, spare) != 0) {
            p.fail(Step::Ballast, errno);
        }
        ::close(ballast);
    }
    if (p.inodes) {
        if (::fstatvfs(layer, &space) != 0) {
            p.fail(Step::InodeLimit, errno);
        }
        Text limit;
        limit << static_cast<long long>(space.f_files - space.f_ffree) + *p.inodes;
        const int reconfigure = ::fspick(layer, "", FSPICK_EMPTY_PATH | FSPICK_CLOEXEC);
        if (reconfigure < 0 || !setOption(reconfigure, "nr_inodes", limit.text())
            || ::fsconfig(reconfigure, FSCONFIG_CMD_RECONFIGURE, nullptr, nullptr, 0) != 0) {
            p.fail(Step::InodeLimit, errno, 0, reconfigure);
        }
        ::close(reconfigure);
    }
    return layer;
}

QString Isolation::lay()
{
    Plan& p = *d;
    if (!p.error.isEmpty()) {
        return p.error;
    }
    // The process that builds the namespaces ends once the parent holds them: it waits for this
    // pipe to close, which also happens should the parent die.
    int release[2] = { -1, -1 };
    if (::pipe2(release, O_CLOEXEC) != 0) {
        return QStringLiteral("cannot isolate %1: %2").arg(p.folder, errorText(errno));
    }
    const pid_t builder = ::fork();
    if (builder == 0) {
        // Ctrl-C and the like end it, and so the isolation, rather than wait for it.
        for (const int signal : { SIGINT, SIGTERM, SIGHUP, SIGQUIT }) {
            ::signal(signal, SIG_DFL);
        }
        ::close(release[1]);
        const int layer = p.build();
        // The parent keeps the layer after the command, to count and keep what it wrote.
        const auto told = static_cast<ssize_t>(p.laid.size() * sizeof(Laid));
        if (!sendDescriptor(p.channel[1], layer) || ::write(p.channel[1], p.laid.data(), told) != told) {
            p.fail(Step::Handover, errno);
        }
        char byte = 0;
        while (::read(release[0], &byte, 1) < 0 && errno == EINTR) { }
        ::_exit(0);
    }
    const int forkError = errno;
    ::close(release[0]);
    closeIfOpen(p.channel[1]);
    QString failure;
    if (builder < 0) {
        failure = QStringLiteral("cannot isolate %1: %2").arg(p.folder, errorText(forkError));
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
        ::close(release[1]);
        release[1] = -1;
        int status = 0;
        while (::waitpid(builder, &status, 0) < 0 && errno == EINTR) { }
        failure = p.heard();
        if (failure.isEmpty() && (p.mountNamespace < 0 || (p.newUserNamespace && p.userNamespace < 0))) {
            failure = QStringLiteral("cannot isolate %1: the namespaces were not handed over (%2)")
                          .arg(p.folder, errorText(p.layer < 0 ? EPIPE : openError));
        }
    }
    closeIfOpen(release[1]);
    if (!failure.isEmpty()) {
        for (int* fd : { &p.userNamespace, &p.mountNamespace, &p.layer }) {
            closeIfOpen(*fd);
        }
    }
    return failure;
}

int Isolation::join() const
{
    const Plan& p = *d;
    if ((p.newUserNamespace && ::setns(p.userNamespace, CLONE_NEWUSER) != 0)
        || ::setns(p.mountNamespace, CLONE_NEWNS) != 0) {
        return p.report(Step::Join, errno);
    }
    // Entering a mount namespace starts at its root: back to the working folder by its name, so that
    // paths from there into the isolated folder (from its parent, say) go through the layer too. Outside
    // it, a name that no longer leads to the very folder gives way to that folder.
    int named = openFolder(p.workingFolder.constData());
    struct stat byName = {};
    struct stat before = {};
    if (!p.workingInside && named >= 0
        && (::fstat(named, &byName) != 0 || ::fstat(p.working, &before) != 0 || byName.st_dev != before.st_dev
            || byName.st_ino != before.st_ino)) {
        ::close(named);
        named = -1;
    }
    const int working = named >= 0 ? named : p.workingInside ? -1 : p.working;
    const bool entered = working >= 0 && ::fchdir(working) == 0;
    const int error = errno;
    if (named >= 0) {
        ::close(named);
    }
    return entered ? p.ownProcesses() : p.report(Step::Join, error);
}

int Isolation::Plan::ownProcesses() const
{
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    ::sigprocmask(SIG_SETMASK, &all, &before);
    const pid_t group = ::getpgrp();
    int ending[2] = { -1, -1 };
    if (::unshare(CLONE_NEWPID) != 0 || ::pipe2(ending, O_CLOEXEC) != 0) {
        return report(Step::ProcessNamespace, errno);
    }
    const int alive = static_cast<int>(::syscall(SYS_pidfd_open, ::getpid(), 0));
    const pid_t first = ::fork();
    if (first == 0) {
        // Killed with the process outside, so a filler killed outright takes everything with it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        pollfd gone = { alive, POLLIN, 0 };
        if (alive >= 0 && ::poll(&gone, 1, 0) != 0) {
            ::_exit(127);
        }
        const pid_t command = ::fork();
        if (command == 0) {
            ::sigprocmask(SIG_SETMASK, &before, nullptr);
            // The last look before exec, from the command's own process.
            return checkLayer();
        }
        if (command < 0) {
            return report(Step::ProcessNamespace, errno);
        }
        closeAllBut(ending[1], ended[1]);
        beFirstProcess(command, group, ending[1], ended[1]);
    }
    if (first < 0) {
        const int error = errno;
        ::close(ending[0]);
        ::close(ending[1]);
        return report(Step::ProcessNamespace, error);
    }
    // Open here, the report of exec() would not reach the filler before the command ended.
    closeAllBut(ending[0], leftovers[1]);
    // The filler forwards signals to the group, and the terminal's reach it too: they are for the
    // command. Stops are this process's as well, so the filler sees the job stop.
    sigset_t stops;
    sigemptyset(&stops);
    for (const int signal : { SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT }) {
        struct sigaction plain = {};
        plain.sa_handler = SIG_DFL;
        ::sigaction(signal, &plain, nullptr);
        sigaddset(&stops, signal);
    }
    ::sigprocmask(SIG_UNBLOCK, &stops, nullptr);
    int status = W_EXITCODE(127, 0);
    while (::waitpid(first, &status, 0) < 0 && errno == EINTR) { }
    Ending told;
    if (::read(ending[0], &told, sizeof told) == static_cast<ssize_t>(sizeof told)) {
        (void)!::write(leftovers[1], &told.left, sizeof told.left);
        status = told.status;
    }
    endAs(status);
}

int Isolation::Plan::checkLayer() const
{
    // Whoever may change the folders above DIR can swap one for another since the layer was laid,
    // and a command started there would write for real.
    const auto inLayer = [this](int fd, const char* path, bool top) {
        struct statx found = {};
        if (::statx(fd, path, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_MNT_ID, &found) != 0) {
            return false;
        }
        for (size_t i = 0; i < roots.size(); ++i) {
            if (!roots[i].file && found.stx_mnt_id == laid[i].mount && (!top || found.stx_ino == laid[i].inode)) {
                return true;
            }
            if (top) {
                break;
            }
        }
        errno = ESTALE;
        return false;
    };
    const int folder = openFolder(roots[0].path.constData());
    const bool there = folder >= 0 && inLayer(folder, "", true) && (!workingInside || inLayer(AT_FDCWD, "", false));
    const int error = errno;
    if (folder >= 0) {
        ::close(folder);
    }
    return there ? 0 : report(Step::Replaced, error);
}

QString Isolation::Plan::explain(const Report& report) const
{
    const QString where = QFile::decodeName(
        roots.empty() ? QByteArray() : roots[std::clamp<size_t>(report.root, 0, roots.size() - 1)].path);
    const QString reason = errorText(report.error);
    QString cause;
    // An ordinary user's namespaces can be forbidden in several ways; say which, and the ways round.
    const bool refused = report.error == EPERM || report.error == EACCES;
    if (report.step == Step::UserNamespace && report.error == ENOSPC) {
        cause = readSmallFile("/proc/sys/user/max_user_namespaces") == "0"
            ? QStringLiteral("the system allows no user namespaces (sysctl user.max_user_namespaces is 0)")
            : QStringLiteral("the system allows no more user namespaces (the limit of sysctl "
                             "user.max_user_namespaces, here or in an enclosing namespace, is reached)");
    } else if (newUserNamespace && refused && readSmallFile("/proc/sys/kernel/unprivileged_userns_clone") == "0") {
        cause = QStringLiteral("the system lets no ordinary user make user namespaces (sysctl "
                               "kernel.unprivileged_userns_clone is 0)");
    } else if (newUserNamespace && refused
               && readSmallFile("/proc/sys/kernel/apparmor_restrict_unprivileged_userns") == "1") {
        cause = QStringLiteral("AppArmor restricts the user namespaces of ordinary users (sysctl "
                               "kernel.apparmor_restrict_unprivileged_userns is 1)");
    } else if (report.step == Step::UserNamespace) {
        cause = QStringLiteral("the system does not let this user make a user namespace (%1)").arg(reason);
    }
    if (!cause.isEmpty()) {
        return QStringLiteral("cannot isolate %1: %2; run it as root, or fill the volume for real "
                              "(tallowmere-fill FILE --leave SIZE --run COMMAND)")
            .arg(folder, cause);
    }
    static const char* const steps[] = {
        "",
        "making a user namespace",
        "giving the user namespace the same ids",
        "making a mount namespace",
        "making the mounts private",
        "taking a read-only copy of",
        "making the layer in memory",
        "making the layer's folders",
        "laying the layer over",
        "sizing the layer",
        "limiting the layer's files",
        "handing the layer over",
        "joining the layer",
        "making a process namespace",
    };
    if (report.step == Step::Replaced) {
        return QStringLiteral("cannot isolate %1: %2 no longer leads to the folder planned, or to its layer: a "
                              "folder on the way was replaced meanwhile%3")
            .arg(folder, where, report.error == ESTALE ? QString() : QStringLiteral(" (%1)").arg(reason));
    }
    const int step = static_cast<int>(report.step);
    QString text = QStringLiteral("cannot isolate %1: %2")
                       .arg(folder, QLatin1String(steps[std::clamp(step, 0, static_cast<int>(std::size(steps)) - 1)]));
    if (report.step == Step::Lower || report.step == Step::Overlay) {
        text += u' ' + where;
    }
    text += QStringLiteral(": ") + reason;
    if (report.step == Step::ProcessNamespace && report.error == ENOSPC) {
        text += readSmallFile("/proc/sys/user/max_pid_namespaces") == "0"
            ? QStringLiteral(" (the system allows no PID namespaces: sysctl user.max_pid_namespaces is 0)")
            : QStringLiteral(" (the limit of sysctl user.max_pid_namespaces, here or in an enclosing namespace, or "
                             "of nested namespaces is reached)");
    }
    if (report.error == ELOOP) {
        text += QStringLiteral(" (a folder on the way was replaced by a symbolic link meanwhile)");
    }
    if (report.detail[0] != '\0') {
        text += QStringLiteral(" (the kernel says: %1)").arg(QString::fromLocal8Bit(report.detail).trimmed());
    }
    return text;
}

QString Isolation::joinFailure() const
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
        const int upper
            = root.file ? -1 : ::openat(p.layer, root.upper.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (upper >= 0) {
            walk.folder(upper, -1);
            ::close(upper);
        }
    }
    use.files = walk.files;
    return use;
}

QString Isolation::keep(QString* why, const std::function<bool()>& stopped) const
{
    const Plan& p = *d;
    if (p.layer < 0) {
        *why = QStringLiteral("there is no layer to keep");
        return {};
    }
    // Never into the isolated folder: the temporary folder ($TMPDIR, or /tmp when that names no folder),
    // or beside the isolated one if that is in it.
    const auto inFolder
        = [&p](const QString& path) { return path.isEmpty() || path == p.folder || path.startsWith(p.folder + u'/'); };
    QString base = QFileInfo(QDir::tempPath()).canonicalFilePath();
    if (base.isEmpty() || !QFileInfo(base).isDir()) {
        base = QFileInfo(QStringLiteral("/tmp")).canonicalFilePath();
    }
    if (inFolder(base)) {
        base = QFileInfo(p.folder).path();
    }
    QByteArray name = QFile::encodeName(base) + "/tallowmere-layer-XXXXXX";
    if (::mkdtemp(name.data()) == nullptr) {
        *why = QFile::decodeName(name) + QStringLiteral(": ") + errorText(errno);
        return {};
    }
    const int kept = ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    LayerWalk walk(!p.newUserNamespace);
    walk.stopped = stopped;
    for (const Root& root : p.roots) {
        if (root.file) {
            continue; // read-only: nothing was written there
        }
        const int upper = ::openat(p.layer, root.upper.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        // A volume below the folder goes where it was mounted.
        int target = kept < 0 ? -1 : ::dup(kept);
        for (const QByteArray& part : root.relative.split('/')) {
            if (part.isEmpty() || target < 0) {
                continue;
            }
            ::mkdirat(target, part.constData(), 0700);
            const int next = ::openat(target, part.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            ::close(target);
            target = next;
        }
        struct stat top = {};
        if (upper >= 0 && target >= 0 && ::fstat(upper, &top) == 0) {
            walk.folder(upper, target);
            // The copy's own top stays private; a volume's top below it is as it was.
            if (!root.relative.isEmpty()) {
                walk.finish(target, top);
            }
        } else {
            walk.notCopied++;
            if (walk.firstProblem.isEmpty()) {
                walk.firstProblem = QFile::decodeName(root.relative) + QStringLiteral(": ") + errorText(errno);
            }
        }
        int fds[] = { upper, target };
        for (int& fd : fds) {
            closeIfOpen(fd);
        }
    }
    if (kept >= 0) {
        ::close(kept);
    }
    const QString path = QFile::decodeName(name);
    if (walk.interrupted) {
        *why = QStringLiteral("interrupted: %1 holds only part of what COMMAND wrote").arg(path);
    } else if (walk.notCopied > 0) {
        *why = QStringLiteral("%1 of the layer's entries could not be copied to %2, first %3")
                   .arg(walk.notCopied)
                   .arg(path, walk.firstProblem);
    }
    return path;
}

} // namespace platform
