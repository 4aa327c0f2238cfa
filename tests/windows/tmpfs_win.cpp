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

void enterTestNamespaces() { }

QString mountingUnavailable()
{
    return QStringLiteral(
        "no tmpfs on Windows: the volumes are tested on Linux, and on the drives check-windows.sh maps");
}

QString diskImagesUnavailable()
{
    return mountingUnavailable();
}

ImageVolume::ImageVolume(const QString& type, qint64 bytes, const QStringList& mkfsOptions, const QString& mountOptions)
    : m_image(bytes)
    , m_error(QStringLiteral("no %1 on Windows").arg(type))
{
    Q_UNUSED(mkfsOptions);
    Q_UNUSED(mountOptions);
}

ImageVolume::~ImageVolume() = default;

qint64 ImageVolume::available() const
{
    return -1;
}

qint64 ImageVolume::inodesAvailable() const
{
    return -1;
}

Ext4Volume::Ext4Volume(qint64 bytes, int reservedPercent)
    : ImageVolume(QStringLiteral("ext4"), bytes, { QString::number(reservedPercent) })
{
}

Ext4Volume::Ext4Volume(qint64 bytes, const QStringList& mkfsOptions, const QString& mountOptions)
    : ImageVolume(QStringLiteral("ext4"), bytes, mkfsOptions, mountOptions)
{
}
