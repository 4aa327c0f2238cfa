#pragma once

#include <QString>
#include <QtGlobal>

#include <memory>
#include <optional>
#include <system_error>

namespace platform {

struct WriteResult
{
    qint64 written = 0; // bytes that reached the file
    std::error_code error; // why the rest did not; empty when everything was written
};

// What create() does with a file that is already there.
enum class Existing {
    Replace, // empty it: the user agreed to overwrite it
    Refuse, // fail with std::errc::file_exists: nobody agreed, so a file that appeared since the
            // question was (not) asked is left alone
};

// A raw output file whose calls report the system's own error codes, so the fill engine can tell
// "no space" from other failures. No buffering of its own: what write() reports is on the file.
class OutputFile
{
public:
    virtual ~OutputFile() = default;

    // Before create(): the file is to go once the run ends, even when this program is killed. On
    // Windows the system removes it when its last handle closes, so it can no longer be kept, and
    // close() removes it too; elsewhere nothing changes (another process removes it there).
    virtual void setRemoveWhenClosed(bool remove) { Q_UNUSED(remove); }

    // Opens the path for writing, creating it or, as existing says, emptying an existing regular
    // file. Anything that is not a regular file (a directory, a device, a pipe), and a kernel
    // pseudo-file that calls itself one, is refused before it is touched.
    virtual std::error_code create(const QString& path, Existing existing) = 0;
    // Writes all of data or stops at the first error. May also write nothing, without an error, when
    // the disk needs a moment to catch up: the caller then calls again after its other work.
    virtual WriteResult write(const char* data, qint64 size) = 0;
    // Cuts the file back to size bytes.
    virtual std::error_code truncate(qint64 size) = 0;
    // True once another program has deleted the open file: what is written after that is lost.
    virtual bool deleted() = 0;
    // The open file's length as the system has it now, whoever changed it; nothing when it cannot tell.
    virtual std::optional<qint64> length();
    // The space the open file takes on its volume now; nothing when it cannot tell.
    virtual std::optional<qint64> allocatedBytes();
    virtual std::error_code close() = 0;
    // Closes the file and removes it if create() made it and its name still leads to it; an
    // existing file is cut back to the empty file create() left, so no partial header stays behind.
    virtual void discard() = 0;

    // Makes the file size bytes longer with the file system's allocation call: the new bytes take
    // space on the volume but are not written, and read as zeros. Reports the bytes added and why
    // not all were; operation_not_supported where the volume cannot hold space back this way (or
    // says it did but took none, as a compressing volume may). Not supported unless overridden.
    virtual WriteResult allocate(qint64 size);
    // Removes the filled file and closes it: by its name if that still leads to this open file; in
    // any case its blocks are given back to the volume. Where the system offers no better, the same
    // as discard().
    virtual std::error_code remove();
};

std::unique_ptr<OutputFile> makeOutputFile();

// True for the errors that mean the volume (or the user's quota on it) is full.
bool isOutOfSpace(const std::error_code& error);
// True for the error of a full disk quota.
bool isQuotaExceeded(const std::error_code& error);

// The system's text for an error, in the user's language where the system has one.
QString errorText(const std::error_code& error);

// Errors of our own, with texts the user can act on.
enum class FileError {
    NotRegularFile = 1, // a directory, a device, a pipe
    InUse, // another program is writing it
    Deleted, // another program deleted it during the run
    PseudoFile, // a file of the kernel's interface (proc, sysfs, ...), which writing would reconfigure
    Moved, // its name no longer leads to it: it was moved or replaced by another program
    TakenOver, // another program changed its length: it is no longer the file the run filled
};
std::error_code make_error_code(FileError error);

} // namespace platform
