#include "platform/descriptors_unix.h"
#include "platform/isolate_linux.h"
#include "platform/proc_linux.h"
#include "platform/process.h"
#include "platform/signals.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

// Everything here runs in a child of the filler, between fork and exec, while the filler's other
// threads may hold locks: system calls only, nothing allocated, no exception, no destructor that
// matters (the processes end with _exit or exec).

namespace platform {

using namespace isolation;

namespace {

bool setOption(int context, const char* key, const char* value)
{
    return ::fsconfig(context, FSCONFIG_SET_STRING, key, value, 0) == 0;
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

} // namespace

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

void Isolation::Plan::buildAndHandOver(int release)
{
    // Only signal calls: the stop signals go back to ending the process, and so the isolation, and are
    // no longer held back by the mask the filler keeps for its own wait.
    platform::resetStopSignals();
    platform::restoreSignalMask();
    const int layer = build();
    // The parent keeps the layer after the command, to count and keep what it wrote.
    const auto told = static_cast<ssize_t>(laid.size() * sizeof(Laid));
    if (!sendDescriptor(channel[1], layer) || ::write(channel[1], laid.data(), told) != told) {
        fail(Step::Handover, errno);
    }
    // The process ends once the parent holds the namespaces: release closes, also should the parent die.
    char byte = 0;
    while (::read(release, &byte, 1) < 0 && errno == EINTR) { }
    ::_exit(0);
}

int Isolation::Plan::build()
{
    enterNamespaces();
    takeLowers();
    const int layer = makeLayer();
    makeLayerFolders(layer);
    layOverlays(layer);
    sizeLayer(layer);
    return layer;
}

// unshare(), write() of prepared id maps and mount(): system calls on buffers made before fork.
void Isolation::Plan::enterNamespaces() const
{
    if (newUserNamespace) {
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
            fail(Step::UserNamespace, errno);
        }
        // The same ids inside as outside, so files keep their owners and id shows no change.
        if (!writeProcFile("/proc/self/setgroups", "deny") || !writeProcFile("/proc/self/uid_map", uidMap.constData())
            || !writeProcFile("/proc/self/gid_map", gidMap.constData())) {
            fail(Step::IdMaps, errno);
        }
    } else if (::unshare(CLONE_NEWNS) != 0) {
        fail(Step::MountNamespace, errno);
    }
    // Before anything is mounted: nothing mounted here may reach the rest of the system.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        fail(Step::Private, errno);
    }
}

// openat2(), fstat(), open_tree() and move_mount() into the vectors sized before fork: no allocation.
void Isolation::Plan::takeLowers()
{
    // The lower layers: read-only copies of the folder and of each volume below it, taken before
    // anything covers them. Read-only, so not even an access time reaches the disk.
    for (size_t i = 0; i < roots.size(); ++i) {
        const Root& root = roots[i];
        folders[i] = root.file ? openFile(root.path.constData()) : openFolder(root.path.constData());
        // Found by path again after the checks: only the very folder planned will do.
        struct stat found = {};
        if (folders[i] >= 0
            && (::fstat(folders[i], &found) != 0 || found.st_dev != root.device || found.st_ino != root.inode)) {
            fail(Step::Replaced, ESTALE, static_cast<int>(i));
        }
        lowers[i]
            = folders[i] < 0 ? -1 : ::open_tree(folders[i], "", AT_EMPTY_PATH | OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC);
        mount_attr readOnly = {};
        readOnly.attr_set = MOUNT_ATTR_RDONLY;
        if (lowers[i] < 0 || ::mount_setattr(lowers[i], "", AT_EMPTY_PATH, &readOnly, sizeof readOnly) != 0) {
            fail(Step::Lower, errno, static_cast<int>(i));
        }
    }
    for (size_t i = 0; i < roots.size(); ++i) {
        if (!roots[i].file
            && ::move_mount(lowers[i], "", folders[i], "", MOVE_MOUNT_F_EMPTY_PATH | MOVE_MOUNT_T_EMPTY_PATH) != 0) {
            fail(Step::Lower, errno, static_cast<int>(i));
        }
    }
}

// fsopen(), fsconfig() and fsmount() with option strings made before fork.
int Isolation::Plan::makeLayer() const
{
    // The layer: a file system in memory, never attached anywhere but under the overlays.
    const int context = ::fsopen("tmpfs", FSOPEN_CLOEXEC);
    if (context < 0) {
        fail(Step::Layer, errno);
    }
    if (!setOption(context, "source", "tallowmere") || !setOption(context, "size", layerSize.constData())
        || !setOption(context, "mode", "0700") || (inodes && !setOption(context, "nr_inodes", layerInodes.constData()))
        || ::fsconfig(context, FSCONFIG_CMD_CREATE, nullptr, nullptr, 0) != 0) {
        fail(Step::Layer, errno, 0, context);
    }
    const int layer = ::fsmount(context, FSMOUNT_CLOEXEC, 0);
    if (layer < 0) {
        fail(Step::Layer, errno, 0, context);
    }
    ::close(context);
    return layer;
}

// mkdirat(), fchownat(), fchmodat() and utimensat() on names made before fork.
void Isolation::Plan::makeLayerFolders(int layer) const
{
    for (size_t i = 0; i < roots.size(); ++i) {
        const Root& root = roots[i];
        if (root.file) {
            continue;
        }
        if (::mkdirat(layer, root.upper.constData(), 0700) != 0 || ::mkdirat(layer, root.work.constData(), 0700) != 0) {
            fail(Step::LayerFolders, errno, static_cast<int>(i));
        }
        // The top of a layer stands for the folder itself: its owner, permissions and times.
        if (!newUserNamespace) {
            (void)::fchownat(layer, root.upper.constData(), root.uid, root.gid, 0);
        }
        if (::fchmodat(layer, root.upper.constData(), root.mode, 0) != 0
            || ::utimensat(layer, root.upper.constData(), root.times, 0) != 0) {
            fail(Step::LayerFolders, errno, static_cast<int>(i));
        }
    }
}

// Only the steps below, one root at a time: system calls and Text on the stack.
void Isolation::Plan::layOverlays(int layer)
{
    // Parents first: a volume below the folder is reached through the overlay laid over the folder.
    for (size_t i = 0; i < roots.size(); ++i) {
        const Root& root = roots[i];
        // A file mounted below: its read-only copy goes onto its place in the overlay of its folder,
        // so the command reads it and its writes fail (EROFS).
        if (root.file) {
            ::close(folders[i]);
            folders[i] = openFile(root.path.constData());
            if (folders[i] < 0
                || ::move_mount(lowers[i], "", folders[i], "", MOVE_MOUNT_F_EMPTY_PATH | MOVE_MOUNT_T_EMPTY_PATH)
                    != 0) {
                fail(Step::Overlay, errno, static_cast<int>(i));
            }
            continue;
        }
        layOverlay(i, layer);
    }
}

// fsopen(), fsconfig(), fsmount(), statx() and move_mount(); the paths are Text on the stack.
void Isolation::Plan::layOverlay(size_t i, int layer)
{
    const Root& root = roots[i];
    Text lower;
    Text upper;
    Text work;
    lower << "/proc/self/fd/" << lowers[i];
    upper << "/proc/self/fd/" << layer << "/" << root.upper.constData();
    work << "/proc/self/fd/" << layer << "/" << root.work.constData();
    const int overlay = ::fsopen("overlay", FSOPEN_CLOEXEC);
    if (overlay < 0) {
        fail(Step::Overlay, errno, static_cast<int>(i));
    }
    // No redirects, index or metadata-only copies: what an ordinary user's overlay cannot have,
    // root's does not have either, so both behave alike.
    const bool configured = setOption(overlay, "source", "tallowmere") && setOption(overlay, "lowerdir", lower.text())
        && setOption(overlay, "upperdir", upper.text()) && setOption(overlay, "workdir", work.text())
        && (userXattr ? ::fsconfig(overlay, FSCONFIG_SET_FLAG, "userxattr", nullptr, 0) == 0
                      : setOption(overlay, "redirect_dir", "off") && setOption(overlay, "index", "off")
                    && setOption(overlay, "metacopy", "off"))
        && ::fsconfig(overlay, FSCONFIG_CMD_CREATE, nullptr, nullptr, 0) == 0;
    const int mounted = configured ? ::fsmount(overlay, FSMOUNT_CLOEXEC, root.attributes) : -1;
    // Known again by its mount and top folder, right before the command starts.
    struct statx top = {};
    if (mounted >= 0) {
        if (::statx(mounted, "", AT_EMPTY_PATH, STATX_INO | STATX_MNT_ID, &top) != 0) {
            fail(Step::Overlay, errno, static_cast<int>(i));
        }
        if (!(top.stx_mask & STATX_MNT_ID)) {
            fail(Step::Overlay, ENOSYS, static_cast<int>(i));
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
        fail(Step::Overlay, errno, static_cast<int>(i), overlay);
    }
    ::close(mounted);
    ::close(overlay);
}

// fstatvfs(), openat(), fallocate(), fspick() and fsconfig(); the limit is Text on the stack.
void Isolation::Plan::sizeLayer(int layer) const
{
    // What the layer's own folders and marks take is not the command's: a ballast file outside every
    // overlay takes all but the space to leave.
    struct statvfs space = {};
    if (::fstatvfs(layer, &space) != 0) {
        fail(Step::Ballast, errno);
    }
    const auto unit = static_cast<qint64>(space.f_frsize);
    const qint64 spare = static_cast<qint64>(space.f_bavail) * unit - pages * pageSize;
    if (spare > 0) {
        const int ballast = ::openat(layer, "ballast", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (ballast < 0 || ::fallocate(ballast, 0, 0, spare) != 0) {
            fail(Step::Ballast, errno);
        }
        ::close(ballast);
    }
    if (inodes) {
        if (::fstatvfs(layer, &space) != 0) {
            fail(Step::InodeLimit, errno);
        }
        Text limit;
        limit << static_cast<long long>(space.f_files - space.f_ffree) + *inodes;
        const int reconfigure = ::fspick(layer, "", FSPICK_EMPTY_PATH | FSPICK_CLOEXEC);
        if (reconfigure < 0 || !setOption(reconfigure, "nr_inodes", limit.text())
            || ::fsconfig(reconfigure, FSCONFIG_CMD_RECONFIGURE, nullptr, nullptr, 0) != 0) {
            fail(Step::InodeLimit, errno, 0, reconfigure);
        }
        ::close(reconfigure);
    }
}

int Isolation::join() const
{
    const Plan& p = *d;
    if ((p.newUserNamespace && ::setns(p.userNamespace, CLONE_NEWUSER) != 0)
        || ::setns(p.mountNamespace, CLONE_NEWNS) != 0) {
        return p.report(IsolationStep::Join, errno);
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
    return entered ? p.ownProcesses() : p.report(IsolationStep::Join, error);
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

} // namespace platform
