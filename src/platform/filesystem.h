#pragma once

#include <QString>

#include <optional>
#include <system_error>

namespace platform {

// True when the path names a file that is not a directory: hidden and system files count, so
// nothing is ever overwritten without the question. The path is taken literally: "*" and "?"
// are part of the name, never patterns. An empty path names nothing.
bool fileExists(const QString& path);

// False when the text cannot name a file as it reads: it holds U+FFFD, which stands for bytes that
// were no text when a name was read (a path saved in another encoding), or characters the system's
// encoding of names cannot hold. Opening such a text would make or remove a file nobody named.
bool encodesFaithfully(const QString& path);

// Deletes exactly the one named file (no patterns).
std::error_code removeFile(const QString& path);

// Where data written to path lands: through a symbolic link, the file it points to, made or not;
// otherwise (no link, or a link no file can be made through) the path itself. Nothing when that
// place has a name that is not text in the system's encoding.
std::optional<QString> landingPath(const QString& path);

// Bytes available to this user on the volume where a file in folder dir (on drive) would land: on
// Windows the root of the drive (of the current drive when drive is empty); elsewhere the nearest
// existing folder of dir (the current folder when dir is empty). 0 when it cannot be queried.
qint64 diskFree(const QString& drive, const QString& dir);

struct VolumeSpace
{
    qint64 available = 0; // to this user
    qint64 fillable = 0; // what this process can write: for root, the space the volume reserves for it too
    qint64 total = 0;
    qint64 blockSize = 0; // the unit files are allocated in
    qint64 free = 0; // free blocks in bytes, root's reserve included: df counts total - free as used
    qint64 inodesAvailable = -1; // files that can still be made; -1: not known or no such limit
};
// The space of the volume a file in folder dir (on drive) lands on: that of the nearest existing
// folder, on Windows too, where a share or a volume mounted in a folder is not the drive's root.
// Nothing when it cannot be queried.
std::optional<VolumeSpace> volumeSpace(const QString& drive, const QString& dir);

// Has the volume of the existing folder dir (on drive) write out what it holds back: space kept
// for delayed allocation, blocks freed by deletions its journal has not committed. volumeSpace()
// then tells what will really be left. Takes a while on a busy disk: for the end of a run only.
void settleVolume(const QString& drive, const QString& dir);

} // namespace platform
