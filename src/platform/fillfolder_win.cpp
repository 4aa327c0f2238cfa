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

std::error_code cleanFills(const CleanRequest& request, const FillFormat& format, const CleanHooks& hooks,
                           const std::function<void(const CleanedFill&)>& report, QByteArray* failedAt)
{
    Q_UNUSED(request);
    Q_UNUSED(failedAt);
    Q_UNUSED(format);
    Q_UNUSED(hooks);
    Q_UNUSED(report);
    return notSupported();
}

} // namespace platform
