#include "platform/filesystem.h"

#include <windows.h>

#include <algorithm>
#include <string>

namespace platform {

std::error_code win32Error(unsigned long code); // outputfile_win.cpp

namespace {

bool usable(const std::wstring& name)
{
    return !name.empty() && name.find(L'\0') == std::wstring::npos;
}

} // namespace

bool fileExists(const QString& path)
{
    const std::wstring name = path.toStdWString();
    if (!usable(name)) {
        return false;
    }
    // Never a pattern: GetFileAttributesW refuses "*" and "?" instead of expanding them.
    const DWORD attributes = GetFileAttributesW(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::error_code removeFile(const QString& path)
{
    const std::wstring name = path.toStdWString();
    if (!usable(name)) {
        return win32Error(ERROR_INVALID_NAME);
    }
    if (!DeleteFileW(name.c_str())) {
        return win32Error(GetLastError());
    }
    return {};
}

qint64 diskFree(const QString& drive, const QString& dir)
{
    Q_UNUSED(dir); // the drive's root decides
    const std::wstring root = (drive + QLatin1Char('\\')).toStdWString();
    if (!usable(root)) {
        return 0;
    }
    ULARGE_INTEGER available {};
    if (!GetDiskFreeSpaceExW(root.c_str(), &available, nullptr, nullptr)) {
        return 0;
    }
    return static_cast<qint64>(std::min<unsigned long long>(available.QuadPart, 0x7fffffffffffffffULL));
}

} // namespace platform
