#pragma once

#include "core/fastrandom.h"
#include "core/fillformat.h"
#include "core/sizetext.h"
#include "platform/outputfile.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>
#include <system_error>
#include <vector>

namespace fill {

enum class Outcome {
    TargetReached,
    Stopped,
    DiskFull, // a write found no space: the normal end of "fill the disk"
    WriteFailed, // another error in the fill loop or at close; the file is kept
    CreateFailed, // the file could not be created or emptied
    HeaderFailed, // the header block could not be written
};

struct Result
{
    Outcome outcome = Outcome::TargetReached;
    qint64 bytesWritten = 0;
    std::error_code error; // set for WriteFailed, CreateFailed and HeaderFailed
    bool quotaFull = false; // DiskFull: it was the user's disk quota that ran out, not the volume
    qint64 bytesAllocated = 0; // of bytesWritten, those reserved without being written (they read as zeros)
    std::error_code allocationError = {}; // why reserving gave way to writing; empty when it was not asked or held
};

// What the blocks after the header block hold.
enum class Data {
    Ones, // bytes of 255: the format both programs share
    Random, // a fast non-cryptographic stream: compressing or deduplicating volumes cannot shrink it
};

struct Hooks
{
    // Before each run of blocks, given the 1-based position of the next byte to write: where a run
    // reports its progress, and waits while it is paused.
    std::function<void(qint64 position)> pass;
    // Asked right after each pass; true ends the run before another block is written.
    std::function<bool()> stopRequested;
    // Monotonic time in nanoseconds, to size the runs; the steady clock when not given.
    std::function<qint64()> clock = nullptr;
    // Asked after the stop test, given the bytes written so far: the most bytes the next run may
    // write. Less than one block ends the run as if the target were reached. No limit when not given.
    std::function<qint64(qint64 written)> runLimit = nullptr;
    // Asked once the target is reached, before the file is closed, given its length: a shorter
    // length to cut it back to (rounded down to whole blocks, never below the header block), or
    // nothing to keep it. Asked again after every cut. The cut goes through the open file, never by
    // name: a file put in its place during the run is not touched.
    std::function<std::optional<qint64>(qint64 length)> trimTo = nullptr;
    // Told the file's final length once the writing is over, right before the close, which may
    // wait for the disk.
    std::function<void(qint64 length)> closing = nullptr;
};

// Writes fill files: a 1024-byte header block (header text, then bytes of 255), then whole
// 1024-byte blocks of 255 until the target, a stop request, or a failed write. Blocks go out in
// runs of up to runBytes with one pass and one stop test per run; a run that takes long halves the
// next ones (down to 64 KiB), so a slow device still reaches a pass and a stop test every few tens
// of milliseconds. Once a write finds no space the engine goes on one block at a time, so "fill the
// disk" leaves less than a block free.
class Engine
{
public:
    static constexpr qint64 defaultRunBytes = 1024 * 1024;
    static constexpr qint64 minimumRunBytes = 64 * 1024;
    static constexpr qint64 maximumAllocateBytes = 1024 * 1024 * 1024;

    Engine(platform::OutputFile& file, Hooks hooks, qint64 runBytes = defaultRunBytes);

    void setData(Data data) { m_data = data; }
    // Reserve the blocks after the header with the file system's allocation call instead of writing
    // them, where the volume can; the last blocks are written as usual.
    void setAllocate(bool allocate) { m_allocate = allocate; }

    // target: the byte count asked for (rounded up to whole blocks; at most the header block when
    // target <= 1024), or fillTheDisk. existing: whether a file already at path may be emptied.
    Result run(const QString& path, qint64 target, platform::Existing existing = platform::Existing::Replace);

    // run() in parts, for a caller that keeps the file open after the fill (to hold a volume full
    // and write again what frees up): start() creates the file and writes its header block; fill()
    // goes on from where the file ends, to the target, and gives blocks back as trimTo says. The
    // file stays open; the caller closes or removes it. Each returns the whole file's result.
    Result start(const QString& path, platform::Existing existing);
    Result fill(qint64 target);
    // Closes the file as run() does once fill() is over: a close that fails turns result into the failure.
    void close(Result& result);

private:
    // Cuts the file back as trimTo says, through the open file; the length it ends with.
    qint64 trimBack(qint64 written);

    platform::OutputFile& m_file;
    Hooks m_hooks;
    qint64 m_maxRunBlocks;
    std::vector<char> m_storage; // the fill buffer, built once and written unchanged (random data: refilled)...
    char* m_buffer = nullptr; // ...from its first page boundary: copies from there run faster
    Data m_data = Data::Ones;
    bool m_allocate = false;
    qint64 m_allocateBytes = maximumAllocateBytes; // the next reservation; halved when one finds no room
    qint64 m_written = 0;
    qint64 m_allocated = 0;
    std::error_code m_allocationError;
    FastRandom m_random;
};

} // namespace fill
