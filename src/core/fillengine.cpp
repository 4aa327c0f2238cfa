#include "core/fillengine.h"

#include <algorithm>
#include <chrono>
#include <memory>

namespace fill {

namespace {

// A run slower than this halves the next ones; one faster than the lower bound doubles them.
constexpr qint64 slowRunNs = 20'000'000;
constexpr qint64 fastRunNs = 5'000'000;
constexpr size_t pageSize = 4096;
// A volume that keeps taking space back as it is given some is not chased for ever.
constexpr int maximumTrims = 64;

qint64 steadyNow()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

Engine::Engine(platform::OutputFile& file, Hooks hooks, qint64 runBytes)
    : m_file(file)
    , m_hooks(std::move(hooks))
    , m_maxRunBlocks(std::max<qint64>(1, runBytes / blockSize))
    , m_storage(static_cast<size_t>(m_maxRunBlocks * blockSize + pageSize), static_cast<char>(0xFF))
    , m_random(static_cast<quint64>(steadyNow()))
{
    void* start = m_storage.data();
    size_t space = m_storage.size();
    m_buffer = static_cast<char*>(std::align(pageSize, static_cast<size_t>(m_maxRunBlocks * blockSize), start, space));
    if (!m_hooks.clock) {
        m_hooks.clock = &steadyNow;
    }
}

Result Engine::run(const QString& path, qint64 target, platform::Existing existing)
{
    Result result = start(path, existing);
    if (result.outcome != Outcome::TargetReached) {
        return result;
    }
    result = fill(target);
    close(result);
    return result;
}

Result Engine::start(const QString& path, platform::Existing existing)
{
    m_written = 0;
    m_allocated = 0;
    m_allocationError = {};
    m_allocateBytes = maximumAllocateBytes;
    if (const auto error = m_file.create(path, existing)) {
        return { Outcome::CreateFailed, 0, error };
    }

    const QByteArray header = headerBlock();
    qint64 headerWritten = 0;
    while (headerWritten < blockSize) {
        // A write may take nothing while the disk catches up; it always takes all or fails.
        const auto write = m_file.write(header.constData() + headerWritten, blockSize - headerWritten);
        headerWritten += write.written;
        if (write.error) {
            // A file shorter than its header block is no fill file; take back what this run made.
            m_file.discard();
            return { Outcome::HeaderFailed, 0, write.error };
        }
    }
    m_written = blockSize;
    return { Outcome::TargetReached, blockSize, {} };
}

Result Engine::fill(qint64 target)
{
    Result result { Outcome::TargetReached, m_written, {} };
    qint64& written = result.bytesWritten;
    const qint64 minRunBlocks = std::min(m_maxRunBlocks, minimumRunBytes / blockSize);
    qint64 runBlocks = m_maxRunBlocks;
    bool oneBlockAtATime = false;
    for (;;) {
        if (written >= target) { // the next position lies past the target
            result.outcome = Outcome::TargetReached;
            break;
        }
        m_hooks.pass(written + 1);
        if (m_hooks.stopRequested()) {
            result.outcome = Outcome::Stopped;
            break;
        }
        const qint64 remaining = target - written;
        const qint64 blocksToTarget = remaining / blockSize + (remaining % blockSize != 0);
        const qint64 limit = m_hooks.runLimit ? m_hooks.runLimit(written) / blockSize : blocksToTarget;
        if (limit < 1) {
            result.outcome = Outcome::TargetReached;
            break;
        }
        // Reserving goes in large steps and halves a step that finds no room; the last stretch
        // below one run is written, so the volume ends up as full as a written fill leaves it.
        const qint64 reserveBlocks = std::min({ m_allocateBytes / blockSize, blocksToTarget, limit });
        if (m_allocate && !m_allocationError && !oneBlockAtATime && reserveBlocks >= m_maxRunBlocks) {
            const auto reserved = m_file.allocate(reserveBlocks * blockSize);
            written += reserved.written;
            m_allocated += reserved.written;
            if (const qint64 partial = written % blockSize; partial && !m_file.truncate(written - partial)) {
                written -= partial;
                m_allocated -= partial;
            }
            if (reserved.error) {
                if (platform::isOutOfSpace(reserved.error)) {
                    m_allocateBytes /= 2;
                } else {
                    m_allocationError = reserved.error;
                }
            }
            continue;
        }
        const qint64 blocks = std::min({ oneBlockAtATime ? 1 : runBlocks, blocksToTarget, limit });
        if (m_data == Data::Random) {
            m_random.fill(m_buffer, blocks * blockSize);
        }
        const qint64 started = m_hooks.clock();
        const auto write = m_file.write(m_buffer, blocks * blockSize);
        const qint64 took = m_hooks.clock() - started;
        written += write.written;
        if (!write.error) {
            if (took > slowRunNs && runBlocks > minRunBlocks) {
                runBlocks = std::max(minRunBlocks, runBlocks / 2);
            } else if (took < fastRunNs && blocks == runBlocks && runBlocks < m_maxRunBlocks) {
                runBlocks = std::min(m_maxRunBlocks, runBlocks * 2);
            }
            if (m_file.deleted()) {
                result.outcome = Outcome::WriteFailed;
                result.error = make_error_code(platform::FileError::Deleted);
                break;
            }
            continue;
        }
        // A failed write may have left part of a block: cut the file back to whole blocks.
        if (const qint64 partial = written % blockSize) {
            if (!m_file.truncate(written - partial)) {
                written -= partial;
            }
        }
        if (platform::isOutOfSpace(write.error)) {
            if (!oneBlockAtATime && blocks > 1) {
                // Some file systems refuse a large write whole while smaller ones still fit.
                oneBlockAtATime = true;
                continue;
            }
            result.outcome = Outcome::DiskFull;
            result.quotaFull = platform::isQuotaExceeded(write.error);
            break;
        }
        result.outcome = Outcome::WriteFailed;
        result.error = write.error;
        break;
    }

    if (result.outcome == Outcome::TargetReached && m_hooks.trimTo) {
        written = trimBack(written);
    }
    m_written = written;
    m_allocated = std::min(m_allocated, std::max<qint64>(0, written - blockSize));
    result.bytesAllocated = m_allocated;
    result.allocationError = m_allocationError;
    return result;
}

qint64 Engine::trimBack(qint64 written)
{
    for (int cut = 0; cut < maximumTrims; ++cut) {
        const auto shorter = m_hooks.trimTo(written);
        if (!shorter) {
            break;
        }
        const qint64 length = std::max(blockSize, *shorter / blockSize * blockSize);
        if (length >= written || m_file.truncate(length)) {
            break;
        }
        written = length;
    }
    return written;
}

void Engine::close(Result& result)
{
    if (m_hooks.closing) {
        m_hooks.closing(result.bytesWritten);
    }
    if (const auto error = m_file.close(); error && result.outcome != Outcome::WriteFailed) {
        if (platform::isOutOfSpace(error)) {
            result.outcome = Outcome::DiskFull;
            result.quotaFull = platform::isQuotaExceeded(error);
        } else {
            result.outcome = Outcome::WriteFailed;
            result.error = error;
        }
    }
}

} // namespace fill
