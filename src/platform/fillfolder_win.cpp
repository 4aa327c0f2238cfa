#include "platform/fillfolder.h"

// Windows volumes have no small limit of files to fill, and fill files are found and removed by
// the Unix tools of this layer only: everything here says so.

namespace platform {

namespace {

std::error_code notSupported()
{
    return std::make_error_code(std::errc::operation_not_supported);
}

} // namespace

FillFolder::~FillFolder() = default;

std::error_code FillFolder::create(const QString& path, const QByteArray& marker)
{
    Q_UNUSED(path);
    Q_UNUSED(marker);
    return notSupported();
}

std::error_code FillFolder::addFile()
{
    return notSupported();
}

std::optional<qint64> FillFolder::inodesAvailable() const
{
    return std::nullopt;
}

std::error_code FillFolder::remove()
{
    return notSupported();
}

void FillFolder::close() { }

QList<FoundFill> findFills(const QString& dir, bool recursive, bool folders, const QByteArray& header, qint64 blockSize,
                           std::error_code* error)
{
    Q_UNUSED(dir);
    Q_UNUSED(recursive);
    Q_UNUSED(folders);
    Q_UNUSED(header);
    Q_UNUSED(blockSize);
    *error = notSupported();
    return {};
}

std::error_code removeFill(const FoundFill& fill)
{
    Q_UNUSED(fill);
    return notSupported();
}

} // namespace platform
