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

bool encodesFaithfully(const QString& path)
{
    // Names are UTF-16 here, as QString holds them: only a character that replaced bytes gives one away.
    return !path.contains(QChar::ReplacementCharacter);
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

namespace {

// The space of the volume that holds the existing folder. Any folder of it answers the free space;
// the allocation unit only its root does, for shares and volumes mounted in a folder too.
std::optional<VolumeSpace> spaceOfFolder(const std::wstring& folder)
{
    ULARGE_INTEGER available {};
    ULARGE_INTEGER total {};
    if (!GetDiskFreeSpaceExW(folder.c_str(), &available, &total, nullptr)) {
        return std::nullopt;
    }
    qint64 unit = 0;
    std::wstring root(folder.size() + MAX_PATH, L'\0');
    DWORD sectorsPerCluster = 0;
    DWORD bytesPerSector = 0;
    DWORD freeClusters = 0;
    DWORD clusters = 0;
    if (GetVolumePathNameW(folder.c_str(), root.data(), static_cast<DWORD>(root.size()))
        && GetDiskFreeSpaceW(root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters)) {
        unit = static_cast<qint64>(sectorsPerCluster) * bytesPerSector;
    }
    auto bytes = [](ULARGE_INTEGER value) {
        return static_cast<qint64>(std::min<unsigned long long>(value.QuadPart, 0x7fffffffffffffffULL));
    };
    return VolumeSpace { bytes(available), bytes(available), bytes(total), unit };
}

std::optional<VolumeSpace> spaceOfDrive(const QString& drive)
{
    const std::wstring root = (drive + QLatin1Char('\\')).toStdWString();
    if (!usable(root)) {
        return std::nullopt;
    }
    return spaceOfFolder(root);
}

} // namespace

std::optional<VolumeSpace> volumeSpace(const QString& drive, const QString& dir)
{
    // The volume the file lands on: that of the nearest folder that exists, which may be a share
    // (no drive letter) or a volume mounted in a folder of another drive.
    QString folder = QString(drive + dir).replace(QLatin1Char('/'), QLatin1Char('\\'));
    while (!folder.isEmpty()) {
        if (!folder.endsWith(QLatin1Char('\\'))) {
            folder += QLatin1Char('\\');
        }
        const std::wstring name = folder.toStdWString();
        if (!usable(name)) {
            return std::nullopt;
        }
        const DWORD attributes = GetFileAttributesW(name.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            return spaceOfFolder(name);
        }
        folder.chop(1);
        const qsizetype separator = folder.lastIndexOf(QLatin1Char('\\'));
        if (separator < 0 || folder.endsWith(QLatin1Char(':'))) {
            break;
        }
        folder.truncate(separator);
    }
    return spaceOfDrive(drive);
}

void settleVolume(const QString& drive, const QString& dir)
{
    // NTFS and FAT count space when it is handed out: the figure never lags.
    Q_UNUSED(drive);
    Q_UNUSED(dir);
}

qint64 diskFree(const QString& drive, const QString& dir)
{
    Q_UNUSED(dir); // the window shows the free space of the drive's root
    const auto space = spaceOfDrive(drive);
    return space ? space->available : 0;
}

} // namespace platform
