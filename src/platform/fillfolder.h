#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <functional>
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

// What a clean-up knows a fill by: everything the fill makes that can be checked cheaply.
struct FillFormat
{
    QByteArray headerBlock; // the first block of every fill file, exactly; its length is the block size
    QByteArray marker; // the whole content of a fill folder's marker file
};

struct CleanRequest
{
    QString dir;
    bool recursive = false; // also in its folders on the same volume
    bool folders = false; // also the folders a fill of inodes made
    bool dryRun = false; // check, take nothing away
};

// A fill file or folder that a run left behind, and what became of it.
struct CleanedFill
{
    QByteArray path; // as the system has it: not always text
    bool folder = false;
    // Empty: removed (in a dry run: it would be). FileError::InUse: a running fill holds it, so it was
    // left alone. FileError::Moved: another file took its name while it was being removed; that file
    // is left as it was. std::errc::interrupted: a folder the stop request left partly emptied.
    std::error_code error;
    QByteArray leftAt; // where a file that took the name meanwhile now is, when it could not be given it back
};

struct CleanHooks
{
    // Asked before each file: true ends the clean-up there.
    std::function<bool()> stopRequested;
    // Told each fill once it is checked, right before it is taken away.
    std::function<void(const QString& path)> checked;
};

// Removes what fills left in request.dir, never following a symbolic link, nor leaving its volume.
// A fill file is a regular file that begins with format's header block exactly, whose length is a
// whole number of blocks, and whose sampled blocks are as a fill writes them (bytes of 255, zeros
// where space was reserved, or random data). A fill folder holds format's marker file and nothing
// but empty files with numbers for names. A fill that a running fill holds locked is left alone.
// Each is checked, then removed, through one open handle: renamed aside, confirmed to be the file
// checked, then removed, so that another file put at its name meanwhile is never removed. report is
// told each fill found. Returns why dir, or a folder in it, could not be read; failedAt: that
// folder's path, empty when it is dir itself.
std::error_code cleanFills(const CleanRequest& request, const FillFormat& format, const CleanHooks& hooks,
                           const std::function<void(const CleanedFill&)>& report, QByteArray* failedAt = nullptr);

} // namespace platform
