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

std::optional<QString> landingPath(const QString& path)
{
    const std::wstring name = path.toStdWString();
    if (!usable(name)) {
        return path;
    }
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return path;
    }
    // The system follows the link to what it names; a link to nothing yet stays in its own folder.
    HANDLE handle = CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return path;
    }
    std::wstring target(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(handle, target.data(), static_cast<DWORD>(target.size()), 0);
    if (length >= target.size()) {
        target.resize(length);
        length = GetFinalPathNameByHandleW(handle, target.data(), static_cast<DWORD>(target.size()), 0);
    }
    CloseHandle(handle);
    if (length == 0 || length >= target.size()) {
        return path;
    }
    target.resize(length);
    // The answer comes in the long-path form: \\?\C:\... or \\?\UNC\server\share\...
    QString text = QString::fromStdWString(target);
    if (text.startsWith(QLatin1String("\\\\?\\UNC\\"))) {
        text = QLatin1String("\\\\") + text.mid(8);
    } else if (text.startsWith(QLatin1String("\\\\?\\"))) {
        text = text.mid(4);
    }
    return text;
}

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

std::optional<VolumeSpace> volumeSpace(const QString& drive, const QString& dir)
{
    Q_UNUSED(dir); // the drive's root decides
    const std::wstring root = (drive + QLatin1Char('\\')).toStdWString();
    if (!usable(root)) {
        return std::nullopt;
    }
    ULARGE_INTEGER available {};
    ULARGE_INTEGER total {};
    DWORD sectorsPerCluster = 0;
    DWORD bytesPerSector = 0;
    DWORD freeClusters = 0;
    DWORD clusters = 0;
    if (!GetDiskFreeSpaceExW(root.c_str(), &available, &total, nullptr)
        || !GetDiskFreeSpaceW(root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters)) {
        return std::nullopt;
    }
    auto bytes = [](ULARGE_INTEGER value) {
        return static_cast<qint64>(std::min<unsigned long long>(value.QuadPart, 0x7fffffffffffffffULL));
    };
    return VolumeSpace { bytes(available), bytes(available), bytes(total),
                         static_cast<qint64>(sectorsPerCluster) * bytesPerSector };
}

void settleVolume(const QString& drive, const QString& dir)
{
    // NTFS and FAT count space when it is handed out: the figure never lags.
    Q_UNUSED(drive);
    Q_UNUSED(dir);
}

qint64 diskFree(const QString& drive, const QString& dir)
{
    const auto space = volumeSpace(drive, dir);
    return space ? space->available : 0;
}

} // namespace platform
