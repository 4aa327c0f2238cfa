#include "platform/outputfile.h"

#include <windows.h>

#include <string>

namespace platform {

namespace {

// Win32 error codes with the system's own texts (the standard library's category may not know them).
class Win32Category final : public std::error_category
{
public:
    const char* name() const noexcept override { return "win32"; }
    std::string message(int code) const override
    {
        wchar_t* buffer = nullptr;
        const DWORD length = FormatMessageW(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
            static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
        std::string text;
        if (length > 0 && buffer) {
            text = QString::fromWCharArray(buffer, static_cast<int>(length)).trimmed().toLocal8Bit().toStdString();
        } else {
            text = "Windows error " + std::to_string(code);
        }
        LocalFree(buffer);
        return text;
    }
    // So that callers can test the portable conditions, std::errc::file_exists and the like.
    std::error_condition default_error_condition(int code) const noexcept override
    {
        switch (code) {
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return std::errc::file_exists;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return std::errc::no_such_file_or_directory;
        case ERROR_ACCESS_DENIED:
            return std::errc::permission_denied;
        case ERROR_WRITE_PROTECT:
            return std::errc::read_only_file_system;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return std::errc::no_space_on_device;
        case ERROR_FILE_TOO_LARGE:
            return std::errc::file_too_large;
        default:
            return { code, *this };
        }
    }
};

// ERROR_DISK_QUOTA_EXCEEDED, which not every SDK's headers define.
constexpr DWORD diskQuotaExceeded = 1295;
// The largest file FAT can hold; its driver refuses a write past it as "disk full".
constexpr qint64 fatMaxFileSize = 0xFFFFFFFFLL;

const std::error_category& win32Category()
{
    static const Win32Category category;
    return category;
}

std::error_code lastError()
{
    return { static_cast<int>(GetLastError()), win32Category() };
}

class WinOutputFile final : public OutputFile
{
public:
    ~WinOutputFile() override { close(); }

    std::error_code create(const QString& path, Existing existing) override
    {
        close();
        m_created = false;
        m_name = path.toStdWString();
        if (m_name.empty() || m_name.find(L'\0') != std::wstring::npos) {
            return { ERROR_INVALID_NAME, win32Category() };
        }
        // The device namespace names disks and volumes, never a fill file.
        if (path.startsWith(QLatin1String("\\\\.\\")) || path.startsWith(QLatin1String("//./"))) {
            return make_error_code(FileError::NotRegularFile);
        }
        // A file the system removes at its last close must share deletion, or none could open it
        // again (a command run under the fill, say); writing it stays this program's alone.
        const DWORD access = m_removeWhenClosed ? GENERIC_WRITE | DELETE : GENERIC_WRITE;
        const DWORD share = m_removeWhenClosed ? FILE_SHARE_READ | FILE_SHARE_DELETE : FILE_SHARE_READ;
        const DWORD flags = FILE_ATTRIBUTE_NORMAL | (m_removeWhenClosed ? FILE_FLAG_DELETE_ON_CLOSE : 0);
        HANDLE handle = CreateFileW(m_name.c_str(), access, share, nullptr, CREATE_NEW, flags, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            m_created = true;
        } else if (GetLastError() == ERROR_FILE_EXISTS && existing == Existing::Replace) {
            handle = CreateFileW(m_name.c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr);
        }
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            // Opened for writing by another program (another copy filling it, say).
            if (error == ERROR_SHARING_VIOLATION) {
                return make_error_code(FileError::InUse);
            }
            // "Access is denied" or "The file exists" would puzzle a user who named a folder.
            const DWORD attributes = GetFileAttributesW(m_name.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                return std::make_error_code(std::errc::is_a_directory);
            }
            return { static_cast<int>(error), win32Category() };
        }
        if (GetFileType(handle) != FILE_TYPE_DISK) {
            CloseHandle(handle);
            return make_error_code(FileError::NotRegularFile);
        }
        wchar_t fileSystem[MAX_PATH + 1] = {};
        m_fat = GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, nullptr, fileSystem, MAX_PATH + 1)
            && std::wstring(fileSystem).rfind(L"FAT", 0) == 0; // FAT, FAT32; not exFAT
        m_size = 0;
        if (!m_created && !SetEndOfFile(handle)) {
            const auto error = lastError();
            CloseHandle(handle);
            return error;
        }
        m_handle = handle;
        return {};
    }

    WriteResult write(const char* data, qint64 size) override
    {
        WriteResult result;
        while (result.written < size) {
            const auto chunk = static_cast<DWORD>(std::min<qint64>(size - result.written, qint64(1) << 30));
            DWORD done = 0;
            if (!WriteFile(m_handle, data + result.written, chunk, &done, nullptr)) {
                result.written += done;
                result.error = lastError();
                // At FAT's file-size limit the volume is not full: say what stopped the file, once
                // not even one more block fits, so a tester does not take it for a full disk.
                if (m_fat && isOutOfSpace(result.error)
                    && m_size + result.written + std::min<qint64>(chunk - done, 1024) > fatMaxFileSize) {
                    result.error = { ERROR_FILE_TOO_LARGE, win32Category() };
                }
                break;
            }
            if (done == 0) {
                result.error = { ERROR_WRITE_FAULT, win32Category() };
                break;
            }
            result.written += done;
        }
        m_size += result.written;
        return result;
    }

    std::error_code truncate(qint64 size) override
    {
        LARGE_INTEGER position;
        position.QuadPart = size;
        if (!SetFilePointerEx(m_handle, position, nullptr, FILE_BEGIN) || !SetEndOfFile(m_handle)) {
            return lastError();
        }
        m_size = size;
        return {};
    }

    bool deleted() override
    {
        // Opened without FILE_SHARE_DELETE, nobody can delete it while it is open; shared for
        // deletion, it goes at its close all the same.
        return false;
    }

    std::optional<qint64> length() override
    {
        LARGE_INTEGER size = {};
        return GetFileSizeEx(m_handle, &size) ? std::optional<qint64>(size.QuadPart) : std::nullopt;
    }

    std::error_code close() override
    {
        if (m_handle == INVALID_HANDLE_VALUE) {
            return {};
        }
        HANDLE handle = m_handle;
        m_handle = INVALID_HANDLE_VALUE;
        if (!CloseHandle(handle)) {
            return lastError();
        }
        return {};
    }

    // Removed at its close, the file gives its blocks back first: a command that still has it open
    // keeps it on the volume, under no name a new run could take, until that command ends.
    std::error_code remove() override
    {
        if (!m_removeWhenClosed) {
            discard();
            return {};
        }
        if (m_handle != INVALID_HANDLE_VALUE) {
            truncate(0);
        }
        m_created = false;
        return close();
    }

    void discard() override
    {
        if (m_removeWhenClosed) {
            remove(); // an overwritten file too: it cannot be kept once opened so
            return;
        }
        if (!m_created && m_handle != INVALID_HANDLE_VALUE) {
            truncate(0); // best effort: the file is closed and reported either way
        }
        close();
        if (m_created) {
            DeleteFileW(m_name.c_str());
            m_created = false;
        }
    }

    void setRemoveWhenClosed(bool remove) override { m_removeWhenClosed = remove; }

private:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
    bool m_removeWhenClosed = false;
    qint64 m_size = 0; // where the next write goes
    bool m_fat = false;
    bool m_created = false;
    std::wstring m_name;
};

} // namespace

std::error_code win32Error(unsigned long code)
{
    return { static_cast<int>(code), win32Category() };
}

std::unique_ptr<OutputFile> makeOutputFile()
{
    return std::make_unique<WinOutputFile>();
}

bool isOutOfSpace(const std::error_code& error)
{
    if (error == std::errc::no_space_on_device) {
        return true;
    }
    if (error.category() != win32Category()) {
        return false;
    }
    switch (error.value()) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case diskQuotaExceeded:
        return true;
    default:
        return false;
    }
}

} // namespace platform
