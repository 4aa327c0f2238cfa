#pragma once

#include <QString>
#include <QStringList>
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

// A disk file system in an image file on a tmpfs, attached to a loop device and mounted for one
// test: block allocation, journal and write-back as on a disk. isMounted() is true only once the
// file system's own type shows at the mount point, so a failed mount never lets a test fill the
// folder underneath.
class ImageVolume
{
public:
    // type: as mount -t knows it; mkfsOptions: for mkfs.TYPE before the image; mountOptions: -o.
    ImageVolume(const QString& type, qint64 bytes, const QStringList& mkfsOptions, const QString& mountOptions = {});
    ~ImageVolume();
    ImageVolume(const ImageVolume&) = delete;
    ImageVolume& operator=(const ImageVolume&) = delete;

    bool isMounted() const { return m_mounted; }
    QString error() const { return m_error; }
    QString path() const { return m_image.filePath(QStringLiteral("mnt")); }
    QString filePath(const QString& name) const { return path() + QLatin1Char('/') + name; }
    qint64 available() const;
    // Inodes an ordinary user can still use.
    qint64 inodesAvailable() const;

private:
    Tmpfs m_image;
    QString m_error;
    bool m_mounted = false;
};

// An ext4 file system: reservedPercent is the share only root may fill (mkfs.ext4 -m).
class Ext4Volume : public ImageVolume
{
public:
    explicit Ext4Volume(qint64 bytes, int reservedPercent = 0);
    // More of mkfs.ext4's options (-N for few inodes, -O quota, -O ^extent), and mount options.
    Ext4Volume(qint64 bytes, const QStringList& mkfsOptions, const QString& mountOptions);
};

// A btrfs file system (a copy-on-write volume that can compress and limit subvolumes).
class BtrfsVolume : public ImageVolume
{
public:
    explicit BtrfsVolume(qint64 bytes, const QString& mountOptions = {});
    // Why btrfs cannot be had here (no mkfs.btrfs, no btrfs in the kernel); empty when it can.
    static QString unavailable();
};

// Runs a program to its end; empty when it succeeded, else what went wrong. output: its stdout.
QString runCommand(const QString& program, const QStringList& arguments, QString* output = nullptr);

// Skips the test when tmpfs cannot be mounted (not root), fails it when mounting should work but did not.
#define TMPFS(var, bytes)                                                                                              \
    if (!Tmpfs::canMount())                                                                                            \
        QSKIP("mounting a tmpfs needs root");                                                                          \
    Tmpfs var(bytes);                                                                                                  \
    if (!var.isMounted())                                                                                              \
        QFAIL(qPrintable(var.error()));
