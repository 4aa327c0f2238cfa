#include "tmpfs.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

// Set once, before main(), by enterTestNamespaces(): plain values, so no constructor runs after it.
int namespaceError = 0; // why an ordinary user's test program could not have namespaces of its own
bool inUserNamespace = false;

bool writeProcFile(const char* path, const std::string& text)
{
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return written;
}

// Mounts made in a mount namespace of the test's own vanish with the test process, so even a test
// that crashes leaves no volume mounted behind it. Child processes (mkfs, mount, the programs under
// test) started from this thread share it.
void isolateMounts()
{
    static const bool isolated
        = ::unshare(CLONE_NEWNS) == 0 && ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    Q_UNUSED(isolated); // without it the volumes are still unmounted on every normal path
}

unsigned long magicOf(const QString& type)
{
    if (type == QLatin1String("ext4")) {
        return EXT4_SUPER_MAGIC;
    }
    if (type == QLatin1String("btrfs")) {
        return BTRFS_SUPER_MAGIC;
    }
    return 0;
}

bool mountedAs(const QString& path, unsigned long magic)
{
    struct statfs st = {};
    return ::statfs(path.toLocal8Bit().constData(), &st) == 0 && static_cast<unsigned long>(st.f_type) == magic;
}

} // namespace

Tmpfs::Tmpfs(qint64 bytes, const QString& extraOptions)
{
    isolateMounts();
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
    // Filling what is underneath a failed mount would fill the machine's own disk.
    m_mounted = mountedAs(m_path, TMPFS_MAGIC);
    if (!m_mounted) {
        m_error = QStringLiteral("%1 is not a tmpfs after mounting").arg(m_path);
        ::umount2(templ.constData(), MNT_DETACH);
        ::rmdir(templ.constData());
        m_path.clear();
    }
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

qint64 availableAt(const QString& path)
{
    struct statvfs st = {};
    if (::statvfs(path.toLocal8Bit().constData(), &st) != 0) {
        return -1;
    }
    return static_cast<qint64>(st.f_bavail) * static_cast<qint64>(st.f_frsize);
}

qint64 Tmpfs::available() const
{
    return availableAt(m_path);
}

bool Tmpfs::remountReadOnly()
{
    return ::mount("tmpfs", m_path.toLocal8Bit().constData(), "tmpfs", MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV,
                   nullptr)
        == 0;
}

void enterTestNamespaces()
{
    if (::geteuid() == 0) {
        return; // root mounts in a mount namespace of its own, made with the first volume
    }
    // An ordinary user becomes root of a user namespace of its own, where it may mount tmpfs and
    // FUSE volumes; everything it makes still belongs to it outside. This needs a single thread.
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
        namespaceError = errno;
        return;
    }
    if (!writeProcFile("/proc/self/setgroups", "deny")
        || !writeProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1")
        || !writeProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
        namespaceError = errno;
        return;
    }
    inUserNamespace = true;
}

QString mountingUnavailable()
{
    if (::geteuid() == 0) {
        return {};
    }
    return QStringLiteral("mounting a volume needs root, or user namespaces, which this system refuses (%1)")
        .arg(QString::fromLocal8Bit(std::strerror(namespaceError)));
}

QString diskImagesUnavailable()
{
    if (::geteuid() != 0) {
        return mountingUnavailable();
    }
    if (inUserNamespace) {
        return QStringLiteral(
            "a disk file system on a loop device needs root: an ordinary user's namespace cannot mount one");
    }
    return {};
}

bool Tmpfs::canMount()
{
    return mountingUnavailable().isEmpty();
}

QString runCommand(const QString& program, const QStringList& arguments, QString* output)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        return QStringLiteral("%1 %2: %3%4")
            .arg(program, arguments.join(u' '), QString::fromLocal8Bit(process.readAllStandardError()),
                 process.errorString());
    }
    if (output) {
        *output = QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
    }
    return {};
}

ImageVolume::ImageVolume(const QString& type, qint64 bytes, const QStringList& mkfsOptions, const QString& mountOptions)
    : m_image(bytes + 16 * 1024 * 1024)
{
    if (!m_image.isMounted()) {
        m_error = m_image.error();
        return;
    }
    const QString image = m_image.filePath(QStringLiteral("volume.img"));
    QFile file(image);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(bytes)) {
        m_error = file.errorString();
        return;
    }
    file.close();
    QDir(m_image.path()).mkdir(QStringLiteral("mnt"));
    m_error = runCommand(QStringLiteral("mkfs.") + type, mkfsOptions + QStringList { image });
    // A loop mount lets go of its loop device when it is unmounted.
    if (m_error.isEmpty()) {
        const QString options = QStringLiteral("loop") + (mountOptions.isEmpty() ? QString() : u',' + mountOptions);
        m_error = runCommand(QStringLiteral("mount"),
                             { QStringLiteral("-t"), type, QStringLiteral("-o"), options, image, path() });
    }
    m_mounted = m_error.isEmpty() && mountedAs(path(), magicOf(type));
    if (m_error.isEmpty() && !m_mounted) {
        m_error = QStringLiteral("%1 is not mounted as %2").arg(path(), type);
        runCommand(QStringLiteral("umount"), { QStringLiteral("-l"), path() });
    }
}

ImageVolume::~ImageVolume()
{
    if (m_mounted && !runCommand(QStringLiteral("umount"), { path() }).isEmpty()) {
        runCommand(QStringLiteral("umount"), { QStringLiteral("-l"), path() });
    }
}

qint64 ImageVolume::available() const
{
    return availableAt(path());
}

qint64 ImageVolume::inodesAvailable() const
{
    struct statvfs st = {};
    return ::statvfs(path().toLocal8Bit().constData(), &st) == 0 ? static_cast<qint64>(st.f_favail) : -1;
}

Ext4Volume::Ext4Volume(qint64 bytes, int reservedPercent)
    : ImageVolume(
        QStringLiteral("ext4"), bytes,
        { QStringLiteral("-q"), QStringLiteral("-m"), QString::number(reservedPercent), QStringLiteral("-F") })
{
}

Ext4Volume::Ext4Volume(qint64 bytes, const QStringList& mkfsOptions, const QString& mountOptions)
    : ImageVolume(QStringLiteral("ext4"), bytes,
                  QStringList { QStringLiteral("-q"), QStringLiteral("-m"), QStringLiteral("0"), QStringLiteral("-F") }
                      + mkfsOptions,
                  mountOptions)
{
}

BtrfsVolume::BtrfsVolume(qint64 bytes, const QString& mountOptions)
    : ImageVolume(QStringLiteral("btrfs"), bytes, { QStringLiteral("-q"), QStringLiteral("-f") }, mountOptions)
{
}

QString BtrfsVolume::unavailable()
{
    if (QStandardPaths::findExecutable(QStringLiteral("mkfs.btrfs"),
                                       { QStringLiteral("/usr/sbin"), QStringLiteral("/sbin") })
            .isEmpty()
        && QStandardPaths::findExecutable(QStringLiteral("mkfs.btrfs")).isEmpty()) {
        return QStringLiteral("mkfs.btrfs is not installed (package btrfs-progs)");
    }
    QFile filesystems(QStringLiteral("/proc/filesystems"));
    if (filesystems.open(QIODevice::ReadOnly) && filesystems.readAll().contains("\tbtrfs\n")) {
        return {};
    }
    // Not built in: the module may still load.
    if (runCommand(QStringLiteral("modprobe"), { QStringLiteral("btrfs") }).isEmpty()) {
        return {};
    }
    return QStringLiteral("this kernel has no btrfs (not in /proc/filesystems, modprobe btrfs failed)");
}

QString StallVolume::unavailable()
{
#ifndef TALLOWMERE_STALLFS
    return QStringLiteral("stallfs was not built (libfuse3-dev missing)");
#else
    if (const QString why = mountingUnavailable(); !why.isEmpty()) {
        return why;
    }
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        return QStringLiteral("/dev/fuse is missing or not open to this user: FUSE volumes cannot be mounted here");
    }
    return {};
#endif
}

StallVolume::StallVolume(qint64 bytes)
    : m_backing(bytes + 1024 * 1024)
{
#ifdef TALLOWMERE_STALLFS
    if (!m_backing.isMounted()) {
        m_error = m_backing.error();
        return;
    }
    QDir(m_backing.path()).mkdir(QStringLiteral("data"));
    QDir(m_backing.path()).mkdir(QStringLiteral("mnt"));
    // The daemon runs in this test's mount namespace, so its mount vanishes with the test.
    const QString backing = m_backing.filePath(QStringLiteral("data"));
    m_daemon = std::make_unique<QProcess>();
    m_daemon->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_daemon->start(QStringLiteral(TALLOWMERE_STALLFS), { backing, path() });
    if (!m_daemon->waitForStarted()) {
        m_error = QStringLiteral("stallfs did not start: %1").arg(m_daemon->errorString());
        return;
    }
    // Mounted once the mount point is a FUSE file system whose control file answers.
    for (int tries = 0; tries < 500 && !m_mounted; ++tries) {
        struct statfs st = {};
        m_mounted = ::statfs(path().toLocal8Bit().constData(), &st) == 0 && st.f_type == 0x65735546
            && QFile::exists(filePath(QStringLiteral(".stallfs")));
        if (!m_mounted) {
            ::usleep(10 * 1000);
        }
    }
    if (!m_mounted) {
        m_error = QStringLiteral("stallfs did not mount on %1").arg(path());
    }
#else
    m_error = unavailable();
#endif
}

StallVolume::~StallVolume()
{
    answerAgain();
    if (m_mounted) {
        const QByteArray mountPoint = path().toLocal8Bit();
        if (::umount2(mountPoint.constData(), 0) != 0) {
            ::umount2(mountPoint.constData(), MNT_DETACH);
        }
    }
    if (m_daemon && m_daemon->state() != QProcess::NotRunning) {
        m_daemon->terminate();
        if (!m_daemon->waitForFinished(5000)) {
            m_daemon->kill();
            m_daemon->waitForFinished(5000);
        }
    }
}

bool StallVolume::command(const QByteArray& commands)
{
    QFile control(filePath(QStringLiteral(".stallfs")));
    return control.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && control.write(commands) == commands.size();
}

void StallVolume::stopAnswering(std::chrono::milliseconds atMost)
{
    answerAgain();
    const pid_t daemon = static_cast<pid_t>(m_daemon->processId());
    ::kill(daemon, SIGSTOP);
    m_stopped = true;
    m_watchdog = std::thread([this, daemon, atMost] {
        std::unique_lock lock(m_mutex);
        if (!m_answering.wait_for(lock, atMost, [this] { return !m_stopped; })) {
            ::kill(daemon, SIGCONT);
            m_stopped = false;
        }
    });
}

bool StallVolume::answerAgain()
{
    if (!m_watchdog.joinable()) {
        return false;
    }
    bool stopped = false;
    {
        const std::lock_guard lock(m_mutex);
        stopped = std::exchange(m_stopped, false);
        if (stopped) {
            ::kill(static_cast<pid_t>(m_daemon->processId()), SIGCONT);
        }
    }
    m_answering.notify_all();
    m_watchdog.join();
    return stopped;
}

qint64 StallVolume::counter(const QString& name) const
{
    QFile control(filePath(QStringLiteral(".stallfs")));
    if (!control.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        return -1;
    }
    for (const QByteArray& pair : control.readAll().trimmed().split(' ')) {
        if (pair.startsWith(name.toLatin1() + '=')) {
            return pair.mid(name.size() + 1).toLongLong();
        }
    }
    return -1;
}
