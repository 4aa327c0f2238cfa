#include "platform/guardian.h"
#include "platform/lasterror_unix.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform::guardian {

namespace {

enum Kind : quint32 { GuardFile = 1, GuardFolder, FolderFiles, Forget, Finish };

// One message over the socket; a guarded file or folder comes with two descriptors: its own and
// that of the folder its name is in.
struct Message
{
    quint32 kind = 0;
    quint32 growing = 0;
    qint64 count = 0;
    quint64 device = 0;
    quint64 inode = 0;
    char name[NAME_MAX + 1] = {};
    char marker[NAME_MAX + 1] = {};
};

constexpr int guardianSocket = 3;

// The run's side.
int runSocket = -1;
pid_t guardianPid = -1;
std::error_code notStarted;

// The guardian's side: everything static, so that the child neither allocates nor unwinds.
Message guarded; // kind 0: nothing guarded
int guardedFd = -1;
int folderFd = -1;
Message message; // the one being read
alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))];

// Only to interrupt the wait: whether the run is gone, getppid() says.
void onParentDeath(int) { }

void closeIfOpen(int& fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// Removes name from folder, as flags say, only while it is the file or folder device and inode are.
void removeIfSame(int folder, const char* name, quint64 device, quint64 inode, int flags)
{
    struct stat st = {};
    if (folder >= 0 && ::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0
        && static_cast<quint64>(st.st_dev) == device && static_cast<quint64>(st.st_ino) == inode) {
        ::unlinkat(folder, name, flags);
    }
}

// The name of the numbered file number, into text (no allocation).
void numberName(qint64 number, char (&text)[24])
{
    char reversed[24];
    int length = 0;
    do {
        reversed[length++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number > 0 && length < 23);
    for (int i = 0; i < length; ++i) {
        text[i] = reversed[length - 1 - i];
    }
    text[length] = '\0';
}

// What a run that died without saying it was done leaves: emptied, and removed where still its own.
void cleanUp()
{
    if (guarded.kind == GuardFile) {
        // Through the descriptor: the space comes back even when the file was renamed or another
        // program still holds it open.
        while (::ftruncate(guardedFd, 0) != 0 && errno == EINTR) { }
        removeIfSame(folderFd, guarded.name, guarded.device, guarded.inode, 0);
    } else if (guarded.kind == GuardFolder) {
        char name[24];
        for (qint64 i = 1; i <= guarded.count; ++i) {
            numberName(i, name);
            ::unlinkat(guardedFd, name, 0);
        }
        // Made while the run was still adding files: those that follow, in order, are its own too.
        for (qint64 i = guarded.count + 1; guarded.growing; ++i) {
            numberName(i, name);
            if (::unlinkat(guardedFd, name, 0) != 0) {
                break;
            }
        }
        ::unlinkat(guardedFd, guarded.marker, 0);
        removeIfSame(folderFd, guarded.name, guarded.device, guarded.inode, AT_REMOVEDIR);
    }
}

// Takes one message in; false once the guardian is to exit without touching anything.
bool take(const Message& message, const int* fds, int count)
{
    switch (message.kind) {
    case GuardFile:
    case GuardFolder:
        if (count == 2) {
            closeIfOpen(guardedFd);
            closeIfOpen(folderFd);
            guarded = message;
            guarded.name[NAME_MAX] = '\0';
            guarded.marker[NAME_MAX] = '\0';
            guardedFd = fds[0];
            folderFd = fds[1];
            return true;
        }
        break;
    case FolderFiles:
        guarded.count = message.count;
        guarded.growing = message.growing;
        break;
    case Forget:
        guarded.kind = 0;
        closeIfOpen(guardedFd);
        closeIfOpen(folderFd);
        break;
    case Finish:
        return false;
    default:
        break;
    }
    for (int i = 0; i < count; ++i) {
        ::close(fds[i]);
    }
    return true;
}

// Gives the guardian /dev/null for standard input, output and error, its socket as descriptor 3,
// and nothing else: a pipe the run's caller waits on must not stay open here.
void keepOnlySocket(int socket)
{
    if (socket != guardianSocket) {
        ::dup2(socket, guardianSocket);
        ::close(socket);
    }
    const int null = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd) {
        // Without /dev/null (a bare chroot), closed rather than kept.
        if (null < 0) {
            ::close(fd);
        } else if (null != fd) {
            ::dup2(null, fd);
        }
    }
    if (::syscall(SYS_close_range, guardianSocket + 1, ~0U, 0) != 0) {
        const long most = ::sysconf(_SC_OPEN_MAX);
        for (int fd = guardianSocket + 1; fd < (most > 0 ? most : 1024); ++fd) {
            ::close(fd);
        }
    }
}

// The guardian itself, in the child of a process with one thread: system calls only, no allocation.
[[noreturn]] void runGuardian(int socket, pid_t parent)
{
    // A session of its own: a kill of the run's process group, as CI runners cancel a job, does
    // not reach it, nor does the terminal's Ctrl-C (the run itself says when it is done).
    ::setsid();
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction action = {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = SIG_IGN;
    for (const int ignored : { SIGINT, SIGQUIT, SIGHUP, SIGPIPE, SIGXFSZ }) {
        ::sigaction(ignored, &action, nullptr);
    }
    action.sa_handler = onParentDeath;
    ::sigaction(SIGUSR1, &action, nullptr); // no SA_RESTART: the wait below is interrupted
    // The socket's end is how the run's death shows; this signal is a second way.
    ::prctl(PR_SET_PDEATHSIG, SIGUSR1);
    ::prctl(PR_SET_NAME, "fill-guardian");
    // Gone already, the run may still have said what it made: that is read first, then acted on.
    bool parentGone = ::getppid() != parent;
    ::chdir("/"); // holds no volume busy but through what it guards
    keepOnlySocket(socket);
    for (;;) {
        iovec part { &message, sizeof message };
        msghdr header = {};
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(guardianSocket, &header, MSG_CMSG_CLOEXEC | (parentGone ? MSG_DONTWAIT : 0));
        if (n == 0 || (n < 0 && parentGone && errno == EAGAIN)) {
            break; // the run is gone without a word
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                parentGone = ::getppid() != parent;
                continue;
            }
            ::_exit(1); // cannot hear the run: it goes on unguarded
        }
        int fds[2] = { -1, -1 };
        int count = 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
                const int given = static_cast<int>((c->cmsg_len - CMSG_LEN(0)) / sizeof(int));
                for (int i = 0; i < given; ++i) {
                    int fd = -1;
                    std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                    if (count < 2) {
                        fds[count++] = fd;
                    } else {
                        ::close(fd);
                    }
                }
            }
        }
        if (static_cast<size_t>(n) != sizeof message) {
            message.kind = 0;
        }
        if (!take(message, fds, count)) {
            ::_exit(0);
        }
    }
    cleanUp();
    ::_exit(0);
}

int threadCount()
{
    DIR* tasks = ::opendir("/proc/self/task");
    if (!tasks) {
        return -1;
    }
    int count = 0;
    while (const dirent* entry = ::readdir(tasks)) {
        count += entry->d_name[0] != '.';
    }
    ::closedir(tasks);
    return count;
}

bool send(const Message& message, const int* fds = nullptr, int count = 0)
{
    if (runSocket < 0) {
        return false;
    }
    iovec part { const_cast<Message*>(&message), sizeof message };
    msghdr header = {};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
    if (count > 0) {
        header.msg_control = control;
        header.msg_controllen = CMSG_SPACE(count * sizeof(int));
        cmsghdr* c = CMSG_FIRSTHDR(&header);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(count * sizeof(int));
        std::memcpy(CMSG_DATA(c), fds, count * sizeof(int));
    }
    ssize_t n = 0;
    while ((n = ::sendmsg(runSocket, &header, MSG_NOSIGNAL)) < 0 && errno == EINTR) { }
    return n == static_cast<ssize_t>(sizeof message);
}

// Hands fd over with the folder name is in, opened now, and name's last part.
std::error_code guard(Kind kind, int fd, QByteArray name, const QByteArray& markerName = {})
{
    if (runSocket < 0) {
        return std::make_error_code(std::errc::operation_not_supported);
    }
    while (name.size() > 1 && name.endsWith('/')) {
        name.chop(1);
    }
    const qsizetype slash = name.lastIndexOf('/');
    const QByteArray last = name.mid(slash + 1);
    const QByteArray folder = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : name.left(slash);
    struct stat st = {};
    if (last.isEmpty() || last.size() > NAME_MAX || markerName.size() > NAME_MAX || ::fstat(fd, &st) != 0) {
        return std::make_error_code(std::errc::invalid_argument);
    }
    const int folderDescriptor = ::open(folder.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folderDescriptor < 0) {
        return lastError();
    }
    Message message;
    message.kind = kind;
    message.growing = kind == GuardFolder;
    message.device = static_cast<quint64>(st.st_dev);
    message.inode = static_cast<quint64>(st.st_ino);
    std::memcpy(message.name, last.constData(), static_cast<size_t>(last.size()));
    std::memcpy(message.marker, markerName.constData(), static_cast<size_t>(markerName.size()));
    const int fds[2] = { fd, folderDescriptor };
    const bool sent = send(message, fds, 2);
    ::close(folderDescriptor);
    return sent ? std::error_code() : std::make_error_code(std::errc::broken_pipe);
}

} // namespace

std::error_code start()
{
    if (guardianPid > 0) {
        return {};
    }
    // A fork of a process with threads may copy a lock another thread held: only one thread here.
    if (threadCount() != 1) {
        return notStarted = std::make_error_code(std::errc::resource_deadlock_would_occur);
    }
    int pair[2] = { -1, -1 };
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        return notStarted = lastError();
    }
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pair[0]);
        runGuardian(pair[1], parent);
    }
    const std::error_code error = child < 0 ? lastError() : std::error_code();
    ::close(pair[1]);
    if (child < 0) {
        ::close(pair[0]);
        return notStarted = error;
    }
    runSocket = pair[0];
    guardianPid = child;
    notStarted = {};
    return {};
}

std::error_code startError()
{
    return notStarted;
}

qint64 pid()
{
    return guardianPid;
}

std::error_code guardFile(int fd, const QByteArray& name)
{
    return guard(GuardFile, fd, name);
}

std::error_code guardFolder(int fd, const QByteArray& name, const QByteArray& markerName)
{
    return guard(GuardFolder, fd, name, markerName);
}

void folderFiles(qint64 count, bool growing)
{
    Message message;
    message.kind = FolderFiles;
    message.count = count;
    message.growing = growing;
    send(message);
}

void forget()
{
    Message message;
    message.kind = Forget;
    send(message);
}

void finish()
{
    if (runSocket < 0) {
        return;
    }
    Message message;
    message.kind = Finish;
    send(message);
    ::close(runSocket);
    runSocket = -1;
    // It exits on the word, or on the socket's end should the word not have gone. A guardian someone
    // stopped hears neither: after a while it is ended, the run being done and nothing left to guard.
    for (int waited = 0; waited < 200; ++waited) {
        const pid_t reaped = ::waitpid(guardianPid, nullptr, WNOHANG);
        if (reaped == guardianPid || (reaped < 0 && errno != EINTR)) {
            guardianPid = -1;
            return;
        }
        const timespec pause { 0, 10 * 1000 * 1000 };
        ::nanosleep(&pause, nullptr);
    }
    ::kill(guardianPid, SIGKILL);
    while (::waitpid(guardianPid, nullptr, 0) < 0 && errno == EINTR) { }
    guardianPid = -1;
}

} // namespace platform::guardian
