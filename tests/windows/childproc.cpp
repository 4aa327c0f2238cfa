// A command for --run: childproc CODE [SECONDS [spawn]] starts "childproc 0 120" first when told to
// spawn (and leaves it running), then sleeps SECONDS and exits with CODE (0xC0000005: as a crash ends).

#include <windows.h>

#include <cwchar>
#include <string>

int wmain(int argc, wchar_t* argv[])
{
    if (argc > 3) {
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring line = L"\"" + std::wstring(self) + L"\" 0 120";
        STARTUPINFOW startup = { .cb = sizeof startup };
        PROCESS_INFORMATION child = {};
        if (!CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child)) {
            return 1;
        }
    }
    Sleep(argc > 2 ? static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)) * 1000 : 0);
    ExitProcess(argc > 1 ? static_cast<UINT>(std::wcstoul(argv[1], nullptr, 0)) : 0);
}
