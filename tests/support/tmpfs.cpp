#include "tmpfs.h"

#include <QByteArray>
#include <QDir>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

Tmpfs::Tmpfs(qint64 bytes, const QString& extraOptions)
{
    QByteArray templ = QDir::tempPath().toLocal8Bit() + "/tallowmere-test-XXXXXX";
    if (!::mkdtemp(templ.data())) {
        m_error = QStringLiteral("mkdtemp: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    m_path = QString::fromLocal8Bit(templ);
    QByteArray options = "size=" + QByteArray::number(bytes) + ",mode=0755";
    if (!extraOptions.isEmpty()) {
        options += ',' + extraOptions.toLocal8Bit();
    }
    if (::mount("tmpfs", templ.constData(), "tmpfs", MS_NOSUID | MS_NODEV, options.constData()) != 0) {
        m_error = QStringLiteral("mount tmpfs on %1: %2").arg(m_path, QString::fromLocal8Bit(std::strerror(errno)));
        ::rmdir(templ.constData());
        return;
    }
    m_mounted = true;
}

Tmpfs::~Tmpfs()
{
    if (m_path.isEmpty()) {
        return;
    }
    const QByteArray path = m_path.toLocal8Bit();
    if (m_mounted && ::umount2(path.constData(), 0) != 0) {
        ::umount2(path.constData(), MNT_DETACH);
    }
    ::rmdir(path.constData());
}

qint64 Tmpfs::available() const
{
    struct statvfs st
    {
    };
    if (::statvfs(m_path.toLocal8Bit().constData(), &st) != 0) {
        return -1;
    }
    return static_cast<qint64>(st.f_bavail) * static_cast<qint64>(st.f_frsize);
}

bool Tmpfs::remountReadOnly()
{
    return ::mount("tmpfs", m_path.toLocal8Bit().constData(), "tmpfs", MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV,
                   nullptr)
        == 0;
}

bool Tmpfs::canMount()
{
    return ::geteuid() == 0;
}
