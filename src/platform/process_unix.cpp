#include "platform/lasterror_unix.h"
#include "platform/process.h"
#include "platform/signals.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSet>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <initializer_list>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>
#ifdef __linux__
#include <sys/prctl.h>
#endif

extern char** environ;

namespace platform {

namespace {

void setDisposition(int signal, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
}

// The environment as bytes, whatever their encoding, with the variables of added set to its values.
std::vector<QByteArray> environmentWith(const QProcessEnvironment& added)
{
    QSet<QByteArray> replaced;
    std::vector<QByteArray> all;
    for (const QString& key : added.keys()) {
        replaced.insert(QFile::encodeName(key));
        all.push_back(QFile::encodeName(key) + '=' + QFile::encodeName(added.value(key)));
    }
    for (char** entry = environ; entry && *entry; ++entry) {
        const QByteArray variable(*entry);
        if (!replaced.contains(variable.left(variable.indexOf('=')))) {
            all.push_back(variable);
        }
    }
    return all;
}

} // namespace

void prepareProcess()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lowest free number: fd itself. Without /dev/null (a bare chroot), a folder opened for
        // reading holds the place: writes to it fail and go nowhere.
        int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened < 0) {
            opened = ::open("/", O_RDONLY | O_DIRECTORY);
        }
        if (opened > fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    // Ignored by whoever started this program, a command's end would leave nothing to wait for,
    // and its exit code would be lost.
    std::signal(SIGCHLD, SIG_DFL);
}

CommandGroup::~CommandGroup()
{
    endGroup();
}

namespace {

// What execve() needs, all made before fork(): between fork() and exec() a process with threads may
// call only what is async-signal-safe, and allocating is not.
struct ExecPlan
{
    ExecPlan(const QString& found, const QString& program, const QStringList& arguments,
             const QProcessEnvironment& environment)
        : path(QFile::encodeName(found))
        , argumentBytes { QFile::encodeName(program) }
        , environmentBytes(environmentWith(environment))
    {
        for (const QString& argument : arguments) {
            argumentBytes.push_back(QFile::encodeName(argument));
        }
        for (QByteArray& argument : argumentBytes) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        // A script without a "#!" line is run by the shell, as shells and execvp() run it.
        shellArgv = { const_cast<char*>("/bin/sh"), path.data() };
        shellArgv.insert(shellArgv.end(), argv.begin() + 1, argv.end());
        for (QByteArray& variable : environmentBytes) {
            envp.push_back(variable.data());
        }
        envp.push_back(nullptr);
    }

    QByteArray path;
    std::vector<QByteArray> argumentBytes;
    std::vector<QByteArray> environmentBytes;
    std::vector<char*> argv;
    std::vector<char*> shellArgv;
    std::vector<char*> envp;
};

// Safe after fork: prctl() and getppid() are plain system calls.
void dieWithParent([[maybe_unused]] pid_t parent)
{
#ifdef __linux__
    // In a group of its own, the command is out of reach of a SIGKILL sent to this program's
    // group: it goes when this program goes, even killed outright.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) {
        ::_exit(127);
    }
#endif
}

// Safe after fork: setpgid(), sigaction() and tcsetpgrp() are async-signal-safe.
void joinOwnGroup(bool giveTerminal)
{
    ::setpgid(0, 0);
    if (giveTerminal) {
        // Still in the background for a moment: taking the terminal must not stop it.
        setDisposition(SIGTTOU, SIG_IGN);
        ::tcsetpgrp(STDIN_FILENO, ::getpid());
    }
}

// Safe after fork: only sigaction().
void resetDispositions()
{
    // The signals this program ignores or catches act as they do for any command a shell starts;
    // a SIGHUP it was started with ignored (nohup) stays ignored.
    for (const int signal : { SIGPIPE, SIGXFSZ, SIGTTOU }) {
        setDisposition(signal, SIG_DFL);
    }
    resetStopSignals();
}

// Safe after fork: sigprocmask, execve() and write() are async-signal-safe and plan was made before
// fork(). Tells report why exec() failed.
[[noreturn]] void execCommand(const ExecPlan& plan, int error, int report)
{
    if (error == 0) {
        restoreSignalMask();
        ::execve(plan.path.constData(), plan.argv.data(), plan.envp.data());
        error = errno;
        if (error == ENOEXEC) {
            ::execve(plan.shellArgv[0], plan.shellArgv.data(), plan.envp.data());
        }
    }
    [[maybe_unused]] const ssize_t written = ::write(report, &error, sizeof error);
    ::_exit(127);
}

// The child's errno when its exec() failed; 0 once exec() closed the pipe.
int readExecReport(int report)
{
    int error = 0;
    ssize_t got = 0;
    do {
        got = ::read(report, &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    ::close(report);
    return got == sizeof error ? error : 0;
}

} // namespace

std::error_code CommandGroup::start(const QString& path, const QString& program, const QStringList& arguments,
                                    const QProcessEnvironment& environment)
{
    const ExecPlan plan(path, program, arguments, environment);
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        return lastError();
    }
#ifdef __linux__
    // What the command leaves behind when it ends is handed to this program, not to init, so that
    // endGroup() can wait for the group to be gone, even where init does not reap.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
#endif
    m_onTerminal = ::isatty(STDIN_FILENO) != 0;
    const bool giveTerminal = m_onTerminal && ::tcgetpgrp(STDIN_FILENO) == ::getpgrp();
    // No handler of this program runs in the new process before exec().
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &before);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        dieWithParent(parent);
        joinOwnGroup(giveTerminal);
        resetDispositions();
        execCommand(plan, m_childSetup ? m_childSetup() : 0, report[1]);
    }
    const int forkError = errno;
    if (pid > 0) {
        // Here too, so the group is there whichever process gets to run first.
        ::setpgid(pid, pid);
        m_pid = pid;
        if (giveTerminal) {
            handTerminalOn();
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    ::close(report[1]);
    if (pid < 0) {
        ::close(report[0]);
        return { forkError, std::system_category() };
    }
    m_running = true;
    if (const int error = readExecReport(report[0])) {
        // exec() failed: the process has ended already.
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) { }
        m_running = false;
        m_pid = -1;
        takeTerminalBack();
        return { error, std::system_category() };
    }
    return {};
}

bool CommandGroup::reap()
{
    for (;;) {
        int status = 0;
        const pid_t ended = ::waitpid(static_cast<pid_t>(m_pid), &status, WNOHANG | WUNTRACED);
        if (ended < 0 && errno == EINTR) {
            continue;
        }
        if (ended == m_pid && WIFSTOPPED(status)) {
            if (m_onTerminal) {
                followStop(WSTOPSIG(status));
            }
            continue;
        }
        if (m_waitingForTerminal && ::tcgetpgrp(STDIN_FILENO) == ::getpgrp()) {
            m_waitingForTerminal = false;
            handTerminalOn();
            ::killpg(static_cast<pid_t>(m_pid), SIGCONT);
        }
        if (ended != m_pid && ended >= 0) {
            return false;
        }
        m_running = false;
        m_exitCode = ended < 0 ? 127 : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
        // Ctrl-C or Ctrl-\ that ended the command reached only its group, which held the terminal;
        // the terminal would also have sent it to this program's group, and to the script that
        // started this program: sent on, it stops that script as it would have.
        const int terminalSignal = m_holdsTerminal && !m_signalled && ended == m_pid && WIFSIGNALED(status)
                && (WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGQUIT)
            ? WTERMSIG(status)
            : 0;
        takeTerminalBack();
        if (terminalSignal != 0) {
            ::killpg(::getpgrp(), terminalSignal);
        }
        return true;
    }
}

bool CommandGroup::waitForEnd(int milliseconds)
{
    if (!m_running || reap()) {
        return true;
    }
    // The command's end, its stop, a stop signal for this program: each one wakes the wait.
    waitForSignal(milliseconds);
    return !m_running || reap();
}

void CommandGroup::signal(int signal)
{
    if (m_pid > 0) {
        m_signalled = true;
        ::killpg(static_cast<pid_t>(m_pid), signal);
        // A stopped process (waiting for the terminal, or sent SIGSTOP) acts on the signal only once
        // continued, as a shell's kill of a stopped job and timeout(1) have it.
        ::killpg(static_cast<pid_t>(m_pid), SIGCONT);
    }
}

bool CommandGroup::endGroup(int grace)
{
    if (m_pid <= 0) {
        return false;
    }
    const auto pid = static_cast<pid_t>(m_pid);
    // Gone once nothing of the group is left but what this program can reap.
    const auto gone = [&] {
        int status = 0;
        for (pid_t ended; (ended = ::waitpid(-pid, &status, WNOHANG)) > 0;) {
            if (ended == pid) {
                m_running = false;
                m_exitCode = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
            }
        }
        return ::killpg(pid, 0) != 0 && errno == ESRCH;
    };
    // Each process of the group that ends is this program's child (it is their subreaper): its
    // SIGCHLD wakes the wait.
    const auto waitUntilGone = [&](int milliseconds) {
        QElapsedTimer timer;
        timer.start();
        for (qint64 left; !gone() && (left = milliseconds - timer.elapsed()) > 0;) {
            waitForSignal(static_cast<int>(left));
        }
    };
    bool left = !gone();
    if (left) {
        ::killpg(pid, SIGTERM);
        ::killpg(pid, SIGCONT); // a stopped process acts on SIGTERM only once continued
        waitUntilGone(grace);
        if (!gone()) {
            ::killpg(pid, SIGKILL);
            waitUntilGone(1000);
        }
    }
    if (m_running) {
        QElapsedTimer timer;
        timer.start();
        for (qint64 left; !waitForEnd(0) && (left = 1000 - timer.elapsed()) > 0;) {
            waitForSignal(static_cast<int>(left));
        }
        m_running = false;
        left = true;
    }
    takeTerminalBack();
    m_waitingForTerminal = false;
    m_pid = -1;
    return left;
}

void CommandGroup::followStop(int signal)
{
    // The terminal stopped the command: Ctrl-Z, or it read the terminal from the background. Stop
    // as well, so that the shell that started this program sees its job stopped and takes the
    // terminal; once continued, hand the terminal on if this program has it now. A command that
    // waits for the terminal goes on only once it can have it.
    const bool forTerminal = signal == SIGTTIN || signal == SIGTTOU;
    takeTerminalBack();
    ::raise(forTerminal ? SIGTTIN : SIGTSTP);
    if (::tcgetpgrp(STDIN_FILENO) == ::getpgrp()) {
        handTerminalOn();
    } else if (forTerminal) {
        m_waitingForTerminal = true;
        return;
    }
    ::killpg(static_cast<pid_t>(m_pid), SIGCONT);
}

void CommandGroup::handTerminalOn()
{
    // While the command's group holds the terminal this program is in the background: writing
    // there, or taking the terminal back, must not stop it.
    struct sigaction previous = {};
    ::sigaction(SIGTTOU, nullptr, &previous);
    m_ttouIgnored = previous.sa_handler == SIG_IGN;
    setDisposition(SIGTTOU, SIG_IGN);
    ::tcsetpgrp(STDIN_FILENO, static_cast<pid_t>(m_pid));
    m_holdsTerminal = true;
}

void CommandGroup::takeTerminalBack()
{
    if (!m_holdsTerminal) {
        return;
    }
    m_holdsTerminal = false;
    ::tcsetpgrp(STDIN_FILENO, ::getpgrp());
    if (!m_ttouIgnored) {
        setDisposition(SIGTTOU, SIG_DFL);
    }
}

} // namespace platform
