#include "platform/process.h"

#include "platform/signals.h"

#include <QElapsedTimer>

#include <csignal>
#include <string>

#include <windows.h>

namespace platform {

std::error_code win32Error(unsigned long code); // outputfile_win.cpp

namespace {

// How often endGroup() looks whether what is left of the job has gone.
constexpr int pollMilliseconds = 50;

// One argument as CommandLineToArgvW and the C runtime read it back: quoted when it is empty or
// holds a blank or a quote, a quote escaped, and backslashes doubled only before a quote.
void appendArgument(std::wstring& line, const std::wstring& argument)
{
    if (!line.empty()) {
        line += L' ';
    }
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line += L'"';
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(2 * backslashes, L'\\');
    line += L'"';
}

// "NAME=value" strings, each ended by a NUL, the block by one more.
std::wstring environmentBlock(const QProcessEnvironment& environment)
{
    std::wstring block;
    for (const QString& name : environment.keys()) {
        block += (name + u'=' + environment.value(name)).toStdWString();
        block += L'\0';
    }
    block += L'\0';
    return block;
}

// A copy of a standard handle the command may inherit; null where this program has none.
HANDLE inheritable(DWORD which)
{
    const HANDLE handle = GetStdHandle(which);
    HANDLE copy = nullptr;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE
        || !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return copy;
}

void closeHandle(void*& handle)
{
    if (handle) {
        CloseHandle(static_cast<HANDLE>(handle));
        handle = nullptr;
    }
}

DWORD activeProcesses(HANDLE job)
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info = {};
    if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info, nullptr)) {
        return 0;
    }
    return info.ActiveProcesses;
}

} // namespace

// The command line CreateProcessW is given for program and its arguments.
std::wstring windowsCommandLine(const QString& program, const QStringList& arguments)
{
    std::wstring line;
    appendArgument(line, program.toStdWString());
    for (const QString& argument : arguments) {
        appendArgument(line, argument.toStdWString());
    }
    return line;
}

void prepareProcess()
{
    // The free space is asked at every keystroke in the path box: a drive without a disk in it must
    // answer with an error, not with the system's "no disk" box.
    SetErrorMode(SetErrorMode(0) | SEM_FAILCRITICALERRORS);
}

CommandGroup::~CommandGroup()
{
    endGroup();
}

// Windows has no process groups that can be ended as a whole: the command and all it starts run in
// a job that the system ends when this program's handle to it closes, even when this program is
// killed. It is started suspended, so that it starts nothing before it is in the job, and in a
// console process group of its own, so that Ctrl-Break can be sent to it alone.
std::error_code CommandGroup::start(const QString& path, const QString& program, const QStringList& arguments,
                                    const QProcessEnvironment& environment)
{
    Q_UNUSED(program);
    endGroup();
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (!job) {
        return win32Error(GetLastError());
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        const auto error = win32Error(GetLastError());
        CloseHandle(job);
        return error;
    }
    QProcessEnvironment all = QProcessEnvironment::systemEnvironment();
    all.insert(environment);
    std::wstring block = environmentBlock(all);
    std::wstring line = windowsCommandLine(path, arguments);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inheritable(STD_INPUT_HANDLE);
    startup.hStdOutput = inheritable(STD_OUTPUT_HANDLE);
    startup.hStdError = inheritable(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    const std::wstring application = path.toStdWString();
    const BOOL created = CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE,
                                        CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT,
                                        block.data(), nullptr, &startup, &process);
    const DWORD createError = GetLastError();
    for (const HANDLE handle : { startup.hStdInput, startup.hStdOutput, startup.hStdError }) {
        if (handle) {
            CloseHandle(handle);
        }
    }
    if (!created) {
        CloseHandle(job);
        return win32Error(createError);
    }
    if (!AssignProcessToJobObject(job, process.hProcess)) {
        const auto error = win32Error(GetLastError());
        TerminateProcess(process.hProcess, 1);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        CloseHandle(job);
        return error;
    }
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    m_job = job;
    m_handle = process.hProcess;
    m_pid = process.dwProcessId;
    m_running = true;
    m_exitCode = 0;
    return {};
}

bool CommandGroup::waitForEnd(int milliseconds)
{
    if (!m_running) {
        return true;
    }
    // A stop signal ends the wait too, so that it is sent on while the command runs.
    const HANDLE handles[] = { static_cast<HANDLE>(m_handle), static_cast<HANDLE>(stopSignalEvent()) };
    const DWORD wait = milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds);
    if (WaitForMultipleObjects(handles[1] ? 2 : 1, handles, FALSE, wait) != WAIT_OBJECT_0) {
        return false;
    }
    // As it is: an NTSTATUS such as 0xC0000005 for a crash, which no "128 + N" would make clearer.
    DWORD code = 0;
    GetExitCodeProcess(static_cast<HANDLE>(m_handle), &code);
    m_exitCode = static_cast<int>(code);
    m_running = false;
    return true;
}

void CommandGroup::signal(int signal)
{
    if (!m_job) {
        return;
    }
    // Ctrl-C cannot be sent to one group, and a new group ignores it: Ctrl-Break is what asks it
    // to end. A console that is closing, a logoff or a shutdown leave no time to ask, and without a
    // console there is nothing to ask through: then the job ends as Ctrl-C would have ended it.
    if (signal != SIGINT || !GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(m_pid))) {
        TerminateJobObject(static_cast<HANDLE>(m_job), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    }
}

bool CommandGroup::endGroup(int grace)
{
    if (!m_job) {
        return false;
    }
    const HANDLE job = static_cast<HANDLE>(m_job);
    const bool left = activeProcesses(job) > 0;
    // Without a console to send Ctrl-Break through, no grace: nothing was asked to end.
    if (left && GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(m_pid))) {
        QElapsedTimer timer;
        timer.start();
        while (activeProcesses(job) > 0 && timer.elapsed() < grace) {
            Sleep(pollMilliseconds);
        }
    }
    if (left) {
        TerminateJobObject(job, static_cast<UINT>(STATUS_CONTROL_C_EXIT));
        if (m_running) {
            WaitForSingleObject(static_cast<HANDLE>(m_handle), INFINITE);
        }
    }
    waitForEnd(0);
    closeHandle(m_handle);
    closeHandle(m_job);
    m_running = false;
    return left;
}

} // namespace platform
