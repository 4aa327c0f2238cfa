#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

// Bytes available to an ordinary user on the volume holding path, as statvfs tells; -1 on failure.
qint64 availableAt(const QString& path);

// Called before main() by every test program (support/testenvironment.cpp): run by an ordinary
// user, it enters a user and a mount namespace of its own, so tmpfs and FUSE volumes can be mounted.
void enterTestNamespaces();
// Why this test program cannot mount volumes of its own; empty when it can.
QString mountingUnavailable();
// Why it cannot mount a disk file system (ext4, btrfs) from an image; empty when it can: root only.
QString diskImagesUnavailable();

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

// Skips the test unless disk file systems can be mounted from images here.
#define DISK_IMAGES_OR_SKIP()                                                                                          \
    if (const QString why = diskImagesUnavailable(); !why.isEmpty())                                                   \
    QSKIP(qPrintable(why))

// Runs a program to its end; empty when it succeeded, else what went wrong. output: its stdout.
QString runCommand(const QString& program, const QStringList& arguments, QString* output = nullptr);

// Skips the test when tmpfs cannot be mounted, fails it when mounting should work but did not.
#define TMPFS(var, bytes)                                                                                              \
    if (const QString why = mountingUnavailable(); !why.isEmpty())                                                     \
        QSKIP(qPrintable(why));                                                                                        \
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

    // Stops the daemon, as a dead network share or a wedged stick stops: every call on the volume
    // waits, this test's own too, until answerAgain(), or until atMost has passed.
    void stopAnswering(std::chrono::milliseconds atMost = std::chrono::seconds(20));
    // False when the volume had answered again already, because atMost had passed.
    bool answerAgain();

    // Why such a volume cannot be had here (no /dev/fuse, not root, not built); empty when it can.
    static QString unavailable();

private:
    Tmpfs m_backing;
    QString m_error;
    bool m_mounted = false;
    std::unique_ptr<QProcess> m_daemon;
    std::mutex m_mutex;
    std::condition_variable m_answering;
    bool m_stopped = false;
    std::thread m_watchdog;
};

#define STALLFS(var, bytes)                                                                                            \
    if (const QString why = StallVolume::unavailable(); !why.isEmpty())                                                \
        QSKIP(qPrintable(why));                                                                                        \
    StallVolume var(bytes);                                                                                            \
    if (!var.isMounted())                                                                                              \
        QFAIL(qPrintable(var.error()));
