#include "platform/fillfolder.h"

// Windows volumes have no small limit of files to fill: everything here says so.

namespace platform {

namespace {

std::error_code notSupported()
{
    return std::make_error_code(std::errc::operation_not_supported);
}

} // namespace

FillFolder::~FillFolder() = default;

std::error_code FillFolder::create(const QString& path, const QByteArray& markerName, const QByteArray& marker)
{
    Q_UNUSED(path);
    Q_UNUSED(markerName);
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

} // namespace platform
