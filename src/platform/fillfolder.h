#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <optional>
#include <system_error>

namespace platform {

// A folder this program makes and fills with empty files until the volume has no inode left. A
// marker file in it, holding the marker text, tells a later clean-up what the folder is. Every call
// after create() goes through the open folder, never its name, but for removing the folder itself.
class FillFolder
{
public:
    static constexpr char markerName[] = ".tallowmere-fill";

    FillFolder() = default;
    ~FillFolder();
    FillFolder(const FillFolder&) = delete;
    FillFolder& operator=(const FillFolder&) = delete;

    // Makes the folder (never taking one that is there) and its marker file.
    std::error_code create(const QString& path, const QByteArray& marker);
    // Adds one empty file: named 1, 2, 3, ... in the order made.
    std::error_code addFile();
    qint64 files() const { return m_files; }
    // Files that can still be made on the folder's volume; nothing when it cannot tell.
    std::optional<qint64> inodesAvailable() const;
    // Removes the files it made, the marker and the folder.
    std::error_code remove();
    // Leaves everything in place.
    void close();

private:
    int m_fd = -1;
    QByteArray m_name;
    qint64 m_files = 0;
    quint64 m_device = 0;
    quint64 m_inode = 0;
};

// A fill file or folder that a run left behind.
struct FoundFill
{
    QString path;
    bool folder = false; // made by a fill of inodes
    quint64 device = 0;
    quint64 inode = 0;
};

// The fill files in dir, and with recursive in its folders, never following a symbolic link: regular
// files whose length is a whole number of blockSize blocks and which begin with header. With
// folders, also the folders a fill of inodes made: a marker file in them holds header exactly.
// error tells why dir, or a folder in it, could not be read.
QList<FoundFill> findFills(const QString& dir, bool recursive, bool folders, const QByteArray& header, qint64 blockSize,
                           std::error_code* error);

// Removes a file findFills() found if it still is that file. Of a folder, only its marker and the
// empty files a fill makes are removed, then the folder, if nothing else is in it.
std::error_code removeFill(const FoundFill& fill);

} // namespace platform
