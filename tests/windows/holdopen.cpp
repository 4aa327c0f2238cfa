// Holds a file open for writing, as another program filling it would, for the given seconds.
//   holdopen PATH SECONDS
// Prints "held" once the file is open.

#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t* argv[])
{
    if (argc != 3) {
        std::fputs("usage: holdopen PATH SECONDS\n", stderr);
        return 2;
    }
    HANDLE handle
        = CreateFileW(argv[1], GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "holdopen: cannot open the file: error %lu\n", GetLastError());
        return 1;
    }
    std::puts("held");
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)) * 1000);
    CloseHandle(handle);
    return 0;
}
