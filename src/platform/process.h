#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>
#include <system_error>

namespace platform {

// Process-wide settings the program needs before its first write: a write past a file-size limit
// or into a closed pipe must come back as an error, not end the process with a signal, and standard
// input, output and error are open (on /dev/null where they were closed), so that no file the
// program opens takes their place and receives its messages; the end of a command it starts can be
// waited for. First thing in main().
void prepareProcess();

// Looks program up as start() runs it: in PATH unless it holds a '/'. The path to start, or
// no_such_file_or_directory when there is none, permission_denied when it is a folder or not executable.
std::error_code findCommand(const QString& program, QString* path);

// A command run in a process group of its own, the way a shell runs a job. Signals for it go to
// its whole group, and once it has ended, whatever is left of the group is ended too (SIGTERM, a
// grace period, then SIGKILL, as timeout(1) does), so nothing it started outlives it. Where standard
// input is the terminal and this program is in the terminal's foreground, the group holds the
// terminal while the command runs: it may read the terminal, and the terminal's Ctrl-C reaches it
// once; when it ends the command, it is sent on to this program's own group. Ctrl-Z stops the
// command and this program together. On Windows, the command runs in a job object, which the system
// ends with everything in it once this program's handle to it closes (even when this program is
// killed), and in a console process group of its own: Ctrl-Break to that group asks it to end.
class CommandGroup
{
public:
    static constexpr int graceMilliseconds = 2000;

    CommandGroup() = default;
    // Ends what is still running of the group, as endGroup() does.
    ~CommandGroup();
    CommandGroup(const CommandGroup&) = delete;
    CommandGroup& operator=(const CommandGroup&) = delete;

    // Run in the command's process between fork and exec, once its group is set up: async-signal-safe
    // calls only, no allocation. Returns 0, or an errno value that fails start() with that error.
    void setChildSetup(std::function<int()> setup) { m_childSetup = std::move(setup); }

    // Starts program, found at path by findCommand(), with arguments; standard input,
    // output, error and the environment are inherited, environment added to it; a script without a
    // "#!" line is run by /bin/sh, as execvp() runs it. A SIGHUP this program was started with
    // ignored (nohup) stays ignored in the command. Why it could not be started:
    // no_such_file_or_directory when there is no such program, else the system's reason.
    std::error_code start(const QString& path, const QString& program, const QStringList& arguments,
                          const QProcessEnvironment& environment = {});
    // Waits up to milliseconds (without end when negative) for the command to end; true once it has.
    // A stop signal meanwhile ends the wait early (on Unix, so may any child's SIGCHLD).
    bool waitForEnd(int milliseconds);
    // Sends signal to every process in the group. On Windows: SIGINT as Ctrl-Break to its console
    // group; any other ends the whole job at once.
    void signal(int signal);
    // How the command ended, as a shell has it: its exit code, or 128 + N when signal N ended it.
    // On Windows its exit code as it is, an NTSTATUS such as 0xC0000005 (a crash) included.
    int exitCode() const { return m_exitCode; }
    // Ends what is left of the group: SIGTERM, up to grace milliseconds for it to go, then SIGKILL
    // (on Windows: Ctrl-Break to the group, then the job is terminated). True when anything was left.
    bool endGroup(int grace = graceMilliseconds);

private:
    bool reap();
    void waitUntilGone(int milliseconds);
    void followStop(int signal);
    void handTerminalOn();
    void takeTerminalBack();

    std::function<int()> m_childSetup;
    qint64 m_pid = -1; // the command, and the number of its group
    bool m_running = false;
    bool m_onTerminal = false; // standard input is a terminal
    bool m_holdsTerminal = false; // the group has the terminal's foreground
    bool m_waitingForTerminal = false; // stopped until this program has the terminal to hand on
    bool m_ttouIgnored = false; // this program ignored SIGTTOU before it handed the terminal on
    bool m_signalled = false; // this program sent the group a signal
    void* m_job = nullptr; // Windows: the job the command runs in
    void* m_handle = nullptr; // Windows: the command's process
    int m_exitCode = 0;
};

} // namespace platform
