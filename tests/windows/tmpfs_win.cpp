// Windows has no tmpfs to mount: the suites shared with Linux skip their volume tests here, and
// tst_windows fills the drive scripts/check-windows.sh maps to a tmpfs it mounted.

#include "tmpfs.h"

#include <windows.h>

qint64 availableAt(const QString& path)
{
    ULARGE_INTEGER available {};
    if (!GetDiskFreeSpaceExW(path.toStdWString().c_str(), &available, nullptr, nullptr)) {
        return -1;
    }
    return static_cast<qint64>(available.QuadPart);
}

Tmpfs::Tmpfs(qint64 bytes, const QString& extraOptions)
    : m_error(QStringLiteral("no tmpfs on Windows"))
{
    Q_UNUSED(bytes);
    Q_UNUSED(extraOptions);
}

Tmpfs::~Tmpfs() = default;

qint64 Tmpfs::available() const
{
    return -1;
}

bool Tmpfs::remountReadOnly()
{
    return false;
}

bool Tmpfs::canMount()
{
    return false;
}

Ext4Volume::Ext4Volume(qint64 bytes, int reservedPercent)
    : m_image(bytes)
    , m_error(QStringLiteral("no ext4 on Windows"))
{
    Q_UNUSED(reservedPercent);
}

Ext4Volume::~Ext4Volume() = default;

qint64 Ext4Volume::available() const
{
    return -1;
}
