#include "platform/directory.h"
#include "platform/outputfile.h"

#include <QFile>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

// Windows has no openat: each folder is held open without FILE_SHARE_DELETE while the walk is in
// it, so its path cannot be renamed or removed under the walk, and every entry below it is opened
// by that path, never through a reparse point.

namespace platform {

std::error_code win32Error(unsigned long code); // outputfile_win.cpp

namespace {

constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD noFollow = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;

std::error_code lastError()
{
    return win32Error(GetLastError());
}

std::wstring wide(const QByteArray& path)
{
    return QFile::decodeName(path).toStdWString();
}

QByteArray childPath(const QByteArray& folder, const QByteArray& name)
{
    return folder.endsWith('\\') || folder.endsWith('/') ? folder + name : folder + '\\' + name;
}

HANDLE openPath(const QByteArray& path, DWORD access, DWORD share, DWORD flags)
{
    if (path.isEmpty() || path.contains('\0')) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(wide(path).c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr);
}

EntryType typeOf(DWORD attributes)
{
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        return EntryType::Link;
    }
    return attributes & FILE_ATTRIBUTE_DIRECTORY ? EntryType::Folder : EntryType::File;
}

std::error_code infoOf(void* handle, EntryInfo* info)
{
    BY_HANDLE_FILE_INFORMATION st = {};
    if (!GetFileInformationByHandle(static_cast<HANDLE>(handle), &st)) {
        return lastError();
    }
    info->type = typeOf(st.dwFileAttributes);
    // A device or a pipe opened by name is no file on a disk.
    if (info->type == EntryType::File && GetFileType(static_cast<HANDLE>(handle)) != FILE_TYPE_DISK) {
        info->type = EntryType::Other;
    }
    info->id = { st.dwVolumeSerialNumber, (quint64(st.nFileIndexHigh) << 32) | st.nFileIndexLow };
    info->size = static_cast<qint64>((quint64(st.nFileSizeHigh) << 32) | st.nFileSizeLow);
    info->links = st.nNumberOfLinks;
    return {};
}

void closeHandle(void*& handle)
{
    if (handle) {
        CloseHandle(static_cast<HANDLE>(handle));
        handle = nullptr;
    }
}

void* kept(HANDLE handle)
{
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

// A live run keeps its file open without FILE_SHARE_WRITE (and, unless the system is to remove it
// at its close, without FILE_SHARE_DELETE): asking for delete and write access is refused with a
// sharing violation while it runs, and granted once it has ended.
bool deleteRefused(const QByteArray& path)
{
    HANDLE handle = openPath(path, DELETE | FILE_WRITE_DATA, shareAll, noFollow);
    if (handle == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_SHARING_VIOLATION;
    }
    CloseHandle(handle);
    return false;
}

} // namespace

Directory::~Directory()
{
    close();
}

std::error_code Directory::open(const QByteArray& path)
{
    close();
    m_handle = kept(openPath(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             FILE_FLAG_BACKUP_SEMANTICS));
    EntryInfo opened;
    if (!m_handle) {
        return lastError();
    }
    if (const auto error = infoOf(m_handle, &opened)) {
        close();
        return error;
    }
    if (opened.type != EntryType::Folder) {
        close();
        return win32Error(ERROR_DIRECTORY);
    }
    m_path = path;
    return {};
}

std::error_code Directory::open(const Directory& parent, const QByteArray& name, const FileId& listed)
{
    close();
    const QByteArray path = childPath(parent.m_path, name);
    m_handle = kept(
        openPath(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, noFollow));
    if (!m_handle) {
        return lastError();
    }
    EntryInfo opened;
    if (infoOf(m_handle, &opened) || opened.type != EntryType::Folder || opened.id != listed) {
        close();
        return make_error_code(FileError::Moved);
    }
    m_path = path;
    return {};
}

void Directory::close()
{
    closeHandle(m_handle);
    m_path.clear();
}

bool Directory::isOpen() const
{
    return m_handle != nullptr;
}

std::error_code Directory::info(EntryInfo* info) const
{
    return infoOf(m_handle, info);
}

std::error_code Directory::entry(const QByteArray& name, EntryInfo* info) const
{
    HANDLE handle = openPath(childPath(m_path, name), FILE_READ_ATTRIBUTES, shareAll, noFollow);
    if (handle == INVALID_HANDLE_VALUE) {
        return lastError();
    }
    const auto error = infoOf(handle, info);
    CloseHandle(handle);
    return error;
}

std::error_code Directory::list(const std::function<bool(const QByteArray& name, const EntryInfo& info)>& each) const
{
    EntryInfo self;
    if (const auto error = info(&self)) {
        return error;
    }
    // Read through the open folder, not its name; the ids are those GetFileInformationByHandle gives.
    std::vector<char> buffer(64 * 1024);
    auto kind = FileIdBothDirectoryRestartInfo;
    for (;;) {
        if (!GetFileInformationByHandleEx(static_cast<HANDLE>(m_handle), kind, buffer.data(),
                                          static_cast<DWORD>(buffer.size()))) {
            const DWORD code = GetLastError();
            return code == ERROR_NO_MORE_FILES ? std::error_code() : win32Error(code);
        }
        kind = FileIdBothDirectoryInfo;
        for (size_t offset = 0;;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.data() + offset);
            const QString name = QString::fromWCharArray(entry->FileName, entry->FileNameLength / sizeof(WCHAR));
            if (name != QLatin1String(".") && name != QLatin1String("..")) {
                const EntryInfo info { typeOf(entry->FileAttributes),
                                       { self.id.volume, static_cast<quint64>(entry->FileId.QuadPart) },
                                       static_cast<qint64>(entry->EndOfFile.QuadPart),
                                       1 };
                if (!each(QFile::encodeName(name), info)) {
                    return {};
                }
            }
            if (entry->NextEntryOffset == 0) {
                break;
            }
            offset += entry->NextEntryOffset;
        }
    }
}

bool Directory::heldByAFill()
{
    // Fills of inodes are not made on Windows: no running fill holds a folder there.
    return false;
}

// Opened for delete by its name, the file is compared with the one checked and removed through that
// handle only: another file put at the name is never the one removed, and nothing is moved aside.
std::error_code Directory::removeChecked(const QByteArray& name, const FileId& checked, bool folder, QByteArray* leftAt)
{
    Q_UNUSED(folder);
    Q_UNUSED(leftAt);
    HANDLE handle = openPath(childPath(m_path, name), DELETE | FILE_READ_ATTRIBUTES, shareAll, noFollow);
    if (handle == INVALID_HANDLE_VALUE) {
        return lastError();
    }
    EntryInfo opened;
    std::error_code error = infoOf(handle, &opened);
    if (!error && opened.id != checked) {
        error = make_error_code(FileError::Moved);
    }
    FILE_DISPOSITION_INFO remove = { TRUE };
    if (!error && !SetFileInformationByHandle(handle, FileDispositionInfo, &remove, sizeof remove)) {
        error = lastError();
    }
    CloseHandle(handle);
    return error;
}

bool Directory::splitRealPath(const QByteArray& path, QByteArray* parent, QByteArray* name)
{
    std::wstring full(MAX_PATH, L'\0');
    DWORD length = GetFullPathNameW(wide(path).c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length >= full.size()) {
        full.resize(length);
        length = GetFullPathNameW(wide(path).c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    }
    if (length == 0 || length >= full.size()) {
        return false;
    }
    full.resize(length);
    while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) {
        full.pop_back();
    }
    const size_t slash = full.find_last_of(L"\\/");
    if (slash == std::wstring::npos || slash + 1 >= full.size()) {
        return false; // a drive's root
    }
    *parent = QFile::encodeName(QString::fromStdWString(full.substr(0, slash == 2 ? 3 : slash)));
    *name = QFile::encodeName(QString::fromStdWString(full.substr(slash + 1)));
    return true;
}

EntryFile::~EntryFile()
{
    closeHandle(m_handle);
}

std::error_code EntryFile::open(const Directory& dir, const QByteArray& name)
{
    closeHandle(m_handle);
    m_path = childPath(dir.m_path, name);
    m_handle = kept(openPath(m_path, GENERIC_READ, shareAll, noFollow));
    return m_handle ? std::error_code() : lastError();
}

std::error_code EntryFile::info(EntryInfo* info) const
{
    return infoOf(m_handle, info);
}

bool EntryFile::read(qint64 offset, char* data, qint64 size) const
{
    qint64 got = 0;
    while (got < size) {
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(quint64(offset + got) & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(quint64(offset + got) >> 32);
        DWORD n = 0;
        const DWORD ask = static_cast<DWORD>(std::min<qint64>(size - got, 1 << 30));
        if (!ReadFile(static_cast<HANDLE>(m_handle), data + got, ask, &n, &at) || n == 0) {
            return false;
        }
        got += n;
    }
    return true;
}

bool EntryFile::heldByAFill()
{
    return deleteRefused(m_path);
}

} // namespace platform
