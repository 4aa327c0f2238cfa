#pragma once

#include <QString>
#include <QtGlobal>

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
