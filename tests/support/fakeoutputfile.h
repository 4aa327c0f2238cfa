#pragma once

#include "platform/outputfile.h"

#include <QByteArray>
#include <QList>

#include <limits>

// An output file kept in memory that fails on cue: after a number of bytes, on close, or on create.
// Only the first bytes are kept; the rest are counted and checked for the fill value 255.
class FakeOutputFile final : public platform::OutputFile
{
public:
    std::error_code create(const QString& path, platform::Existing existing) override;
    platform::WriteResult write(const char* data, qint64 size) override;
    std::error_code truncate(qint64 size) override;
    bool deleted() override { return size >= deletedAt; }
    std::error_code close() override;
    void discard() override;

    // Script.
    qint64 capacity = std::numeric_limits<qint64>::max(); // bytes the file can take
    std::error_code fullError = std::make_error_code(std::errc::no_space_on_device);
    bool atomicWrites = false; // a write that does not fit fails whole, as on Windows
    std::error_code createError;
    std::error_code closeError;
    std::error_code truncateError;
    qint64 deletedAt = std::numeric_limits<qint64>::max(); // another program deletes it at this size
    int busyWrites = 0; // this many writes take nothing and say nothing: the disk is catching up...
    qint64 busyFrom = 0; // ...once the file has this many bytes
    qint64 nanosecondsPerKiB = 0; // how long writing takes, on the clock below
    qint64 clock = 0;

    // Record.
    QString path;
    qint64 size = 0;
    QByteArray head; // the first 1024 bytes
    bool tailAllFill = true; // every byte after the first 1024 was 255
    bool open = false;
    bool discarded = false;
    int creates = 0;
    platform::Existing existing = platform::Existing::Replace; // as the last create() was told
    QList<qint64> writeSizes;
};

// Lends a file the test keeps to code that destroys its file when done (the window after a run).
// Tests derive from it to change one call of a real file.
class BorrowedOutputFile : public platform::OutputFile
{
public:
    explicit BorrowedOutputFile(platform::OutputFile& file)
        : m_file(file)
    {
    }
    std::error_code create(const QString& path, platform::Existing existing) override
    {
        return m_file.create(path, existing);
    }
    platform::WriteResult write(const char* data, qint64 size) override { return m_file.write(data, size); }
    std::error_code truncate(qint64 size) override { return m_file.truncate(size); }
    bool deleted() override { return m_file.deleted(); }
    std::error_code close() override { return m_file.close(); }
    void discard() override { m_file.discard(); }

private:
    platform::OutputFile& m_file;
};
