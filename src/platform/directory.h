#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <functional>
#include <system_error>

namespace platform {

// The seam a clean-up walks through: folders opened relative to the folder they are in, never
// through a link, and entries known by what the system says they are rather than by their names.
// Names are bytes as QFile::encodeName gives them.

enum class EntryType {
    Other, // a device, a pipe, a socket...
    File,
    Folder,
    Link, // a symbolic link, or on Windows any reparse point (a junction, a mount point)
};

// A file on its volume, whatever its name.
struct FileId
{
    quint64 volume = 0;
    quint64 file = 0;
    bool operator==(const FileId&) const = default;
};

struct EntryInfo
{
    EntryType type = EntryType::Other;
    FileId id;
    qint64 size = 0;
    quint64 links = 0;
};

class Directory
{
public:
    Directory() = default;
    ~Directory();
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;

    // The folder at path, as any program opens the path it is given (through a link, too).
    std::error_code open(const QByteArray& path);
    // The folder name in parent, never through a link. FileError::Moved: it is no longer the entry
    // listed.
    std::error_code open(const Directory& parent, const QByteArray& name, const FileId& listed);
    void close();
    bool isOpen() const;

    std::error_code info(EntryInfo* info) const;
    // What name in the folder is, a link taken as a link.
    std::error_code entry(const QByteArray& name, EntryInfo* info) const;
    // Calls each for the entries but . and .., in the system's order, until each returns false. An
    // entry gone meanwhile is left out.
    std::error_code list(const std::function<bool(const QByteArray& name, const EntryInfo& info)>& each) const;
    // Whether a running fill holds the open folder: its lock, tried without waiting.
    bool heldByAFill();
    // Takes name out of the folder if it still is the file checked; another file that took the name
    // meanwhile is left there (FileError::Moved; leftAt: the name it stays at when it could not be
    // given its own back).
    std::error_code removeChecked(const QByteArray& name, const FileId& checked, bool folder, QByteArray* leftAt);

    // The folder path names, its links resolved, as the folder it is in and its name in that folder;
    // false for a root.
    static bool splitRealPath(const QByteArray& path, QByteArray* parent, QByteArray* name);

private:
    friend class EntryFile;
#ifdef Q_OS_WIN
    void* m_handle = nullptr;
    QByteArray m_path;
#else
    int m_fd = -1;
    mutable void* m_listing = nullptr; // the DIR reading m_fd, made at the first listing
#endif
};

// An entry of a folder opened to read it, never through a link, nor waiting on a pipe or a device.
class EntryFile
{
public:
    EntryFile() = default;
    ~EntryFile();
    EntryFile(const EntryFile&) = delete;
    EntryFile& operator=(const EntryFile&) = delete;

    std::error_code open(const Directory& dir, const QByteArray& name);
    std::error_code info(EntryInfo* info) const;
    // size bytes from offset, all of them or false.
    bool read(qint64 offset, char* data, qint64 size) const;
    // Whether a running fill holds it: its lock, tried without waiting.
    bool heldByAFill();

private:
#ifdef Q_OS_WIN
    void* m_handle = nullptr;
    QByteArray m_path;
#else
    int m_fd = -1;
#endif
};

} // namespace platform
