// A command for --run that does what a test needs of it.
//   childproc exit CODE              exits with CODE (0xC0000005 is how a crash ends)
//   childproc sleep SECONDS          sleeps
//   childproc spawn PIDFILE SECONDS  starts "childproc sleep 120", writes its id and its own to
//                                    PIDFILE (one a line), then sleeps SECONDS

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

DWORD number(const wchar_t* text)
{
    return static_cast<DWORD>(std::wcstoul(text, nullptr, 0));
}

int spawn(const wchar_t* pidFile, DWORD seconds)
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) + L"\" sleep 120";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    if (!CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child)) {
        std::fprintf(stderr, "childproc: cannot start the child: error %lu\n", GetLastError());
        return 1;
    }
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    std::FILE* out = _wfopen(pidFile, L"w");
    if (!out) {
        return 1;
    }
    std::fprintf(out, "%lu\n%lu\n", child.dwProcessId, GetCurrentProcessId());
    std::fclose(out);
    Sleep(seconds * 1000);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"exit" && argc == 3) {
        ExitProcess(number(argv[2]));
    }
    if (mode == L"sleep" && argc == 3) {
        Sleep(number(argv[2]) * 1000);
        return 0;
    }
    if (mode == L"spawn" && argc == 4) {
        return spawn(argv[2], number(argv[3]));
    }
    std::fputs("usage: childproc exit CODE | sleep SECONDS | spawn PIDFILE SECONDS\n", stderr);
    return 2;
}
