#pragma once

#include <QProcess>
#include <QString>
#include <QtGlobal>

#include <memory>

// Bytes available to an ordinary user on the volume holding path, as statvfs tells; -1 on failure.
qint64 availableAt(const QString& path);

// A tmpfs of a chosen size, mounted for one test and unmounted when it goes out of scope.
class Tmpfs
{
public:
    explicit Tmpfs(qint64 bytes, const QString& extraOptions = QString());
    ~Tmpfs();
    Tmpfs(const Tmpfs&) = delete;
    Tmpfs& operator=(const Tmpfs&) = delete;

    bool isMounted() const { return m_mounted; }
    QString error() const { return m_error; }
    QString path() const { return m_path; }
    QString filePath(const QString& name) const { return m_path + QLatin1Char('/') + name; }

    qint64 available() const;
    bool remountReadOnly();

    static bool canMount();

private:
    QString m_path;
    QString m_error;
    bool m_mounted = false;
};

// An ext4 file system in an image file on a tmpfs, attached to a loop device and mounted for one
// test: a real disk file system with block allocation, journal and write-back.
class Ext4Volume
{
public:
    // reservedPercent: the share only root may fill (mkfs.ext4 -m).
    explicit Ext4Volume(qint64 bytes, int reservedPercent = 0);
    ~Ext4Volume();
    Ext4Volume(const Ext4Volume&) = delete;
    Ext4Volume& operator=(const Ext4Volume&) = delete;

    bool isMounted() const { return m_mounted; }
    QString error() const { return m_error; }
    QString path() const { return m_image.filePath(QStringLiteral("mnt")); }
    QString filePath(const QString& name) const { return path() + QLatin1Char('/') + name; }
    qint64 available() const;

private:
    Tmpfs m_image;
    QString m_error;
    bool m_mounted = false;
};

// Skips the test when tmpfs cannot be mounted (not root), fails it when mounting should work but did not.
#define TMPFS(var, bytes)                                                                                              \
    if (!Tmpfs::canMount())                                                                                            \
        QSKIP("mounting a tmpfs needs root");                                                                          \
    Tmpfs var(bytes);                                                                                                  \
    if (!var.isMounted())                                                                                              \
        QFAIL(qPrintable(var.error()));

// A volume that stalls or fails on command: the stallfs FUSE file system in front of a tmpfs of the
// given size (see support/stallfs.cpp for the commands). Mounted for one test, unmounted after it.
class StallVolume
{
public:
    explicit StallVolume(qint64 bytes);
    ~StallVolume();
    StallVolume(const StallVolume&) = delete;
    StallVolume& operator=(const StallVolume&) = delete;

    bool isMounted() const { return m_mounted; }
    QString error() const { return m_error; }
    QString path() const { return m_backing.filePath(QStringLiteral("mnt")); }
    QString filePath(const QString& name) const { return path() + QLatin1Char('/') + name; }
    qint64 available() const { return availableAt(path()); }

    // Sends commands such as "write_stall_ms=2000 write_stall_every=50"; false when they did not arrive.
    bool command(const QByteArray& commands);
    // One of the counters the file system reports ("writes", "stalled_writes", "stalling", ...).
    qint64 counter(const QString& name) const;

    // Why such a volume cannot be had here (no /dev/fuse, not root, not built); empty when it can.
    static QString unavailable();

private:
    Tmpfs m_backing;
    QString m_error;
    bool m_mounted = false;
    std::unique_ptr<QProcess> m_daemon;
};

#define STALLFS(var, bytes)                                                                                            \
    if (const QString why = StallVolume::unavailable(); !why.isEmpty())                                                \
        QSKIP(qPrintable(why));                                                                                        \
    StallVolume var(bytes);                                                                                            \
    if (!var.isMounted())                                                                                              \
        QFAIL(qPrintable(var.error()));
