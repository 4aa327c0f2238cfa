#include "fakeoutputfile.h"

std::error_code FakeOutputFile::create(const QString& p, platform::Existing e)
{
    ++creates;
    existing = e;
    path = p;
    if (createError) {
        return createError;
    }
    open = true;
    size = 0;
    head.clear();
    return {};
}

platform::WriteResult FakeOutputFile::write(const char* data, qint64 n)
{
    writeSizes.append(n);
    platform::WriteResult result;
    if (busyWrites > 0 && size >= busyFrom) {
        --busyWrites;
        return result;
    }
    qint64 accepted = std::min(n, capacity - size);
    if (atomicWrites && accepted < n) {
        accepted = 0;
    }
    for (qint64 i = 0; i < accepted; ++i) {
        if (size + i < 1024) {
            head.append(data[i]);
        } else if (static_cast<unsigned char>(data[i]) != 0xFF) {
            tailAllFill = false;
        }
    }
    size += accepted;
    clock += accepted / 1024 * nanosecondsPerKiB;
    result.written = accepted;
    if (accepted < n) {
        result.error = fullError;
    }
    return result;
}

std::error_code FakeOutputFile::truncate(qint64 newSize)
{
    if (truncateError) {
        return truncateError;
    }
    size = std::min(size, newSize);
    head.truncate(static_cast<int>(std::min<qint64>(size, 1024)));
    return {};
}

std::error_code FakeOutputFile::close()
{
    open = false;
    return closeError;
}

void FakeOutputFile::discard()
{
    open = false;
    discarded = true;
}
