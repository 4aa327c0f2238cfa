#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>
#include <system_error>

namespace platform {

// A folder this program makes and fills with empty files until the volume has no inode left. A
// marker file in it, holding the marker text, tells a later clean-up what the folder is, and a lock
// on the open folder that the run is still going. Every call after create() goes through the open
// folder, never its name, but for removing the folder itself.
class FillFolder
{
public:
    FillFolder() = default;
    ~FillFolder();
    FillFolder(const FillFolder&) = delete;
    FillFolder& operator=(const FillFolder&) = delete;

    // Makes the folder (never taking one that is there) and its marker file, markerName holding marker.
    std::error_code create(const QString& path, const QByteArray& markerName, const QByteArray& marker);
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
    QByteArray m_markerName;
    qint64 m_files = 0;
    quint64 m_device = 0;
    quint64 m_inode = 0;
};

} // namespace platform
