// What the command-line suites share: running the filler, volumes of each kind, waiting on its output.
#pragma once

#include "cli/fillcommand.h"
#include "cli/progress.h"
#include "core/fillengine.h"
#include "core/leavepolicy.h"
#include "fillfile.h"
#include "platform/filesystem.h"
#include "platform/fillfolder.h"
#include "platform/isolate.h"
#include "platform/outputfile.h"
#include "productinfo.h"
#include "sizes.h"
#include "tmpfs.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

struct Outcome
{
    int code = -1;
    QString out;
    QString err;
};

inline Outcome runFiller(const QStringList& arguments, const QString& workingDirectory = {})
{
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    process.start(QStringLiteral(TALLOWMERE_FILL), arguments);
    Outcome outcome;
    if (!process.waitForFinished(120000)) {
        return outcome;
    }
    outcome.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    outcome.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    outcome.err = QString::fromLocal8Bit(process.readAllStandardError());
    return outcome;
}

// runFiller() while a thread reads the available bytes of the volume at path about every millisecond;
// lowest: the fewest seen.
inline Outcome runFillerWatched(const QStringList& arguments, const QString& path, qint64* lowest)
{
    std::atomic<bool> done = false;
    std::atomic<qint64> least = std::numeric_limits<qint64>::max();
    std::thread watch([&] {
        while (!done) {
            least = std::min(least.load(), availableAt(path));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const Outcome outcome = runFiller(arguments);
    done = true;
    watch.join();
    *lowest = least;
    return outcome;
}

// Starts a fill of a large volume and, once the file is growing, does something to the run.
inline int interruptRun(const QString& path, const std::function<void(QProcess&)>& act, QString* summary = nullptr)
{
    QProcess process;
    process.start(QStringLiteral(TALLOWMERE_FILL), { QStringLiteral("--quiet"), path });
    if (!process.waitForStarted()) {
        return -1;
    }
    QElapsedTimer timer;
    timer.start();
    while (fileSize(path) < 8 * MiB && timer.elapsed() < 30000 && process.state() == QProcess::Running) {
        QTest::qSleep(1);
    }
    act(process);
    process.waitForFinished(60000);
    if (summary) {
        *summary = QString::fromLocal8Bit(process.readAllStandardError());
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

// A volume of the kind a row names: a tmpfs, a btrfs image, or an ext4 image (with mkfs.ext4's
// options after "ext4", separated by blanks).
class Volume
{
public:
    Volume(const QString& kind, qint64 bytes)
    {
        if (kind == QLatin1String("tmpfs")) {
            m_tmpfs = std::make_unique<Tmpfs>(bytes);
        } else if (kind.startsWith(QLatin1String("tmpfs "))) {
            m_tmpfs = std::make_unique<Tmpfs>(bytes, kind.mid(6));
        } else if (kind == QLatin1String("btrfs")) {
            m_image = std::make_unique<BtrfsVolume>(bytes);
        } else {
            m_image = std::make_unique<Ext4Volume>(bytes, kind.split(u' ', Qt::SkipEmptyParts).mid(1), QString());
        }
    }
    bool isMounted() const { return m_tmpfs ? m_tmpfs->isMounted() : m_image->isMounted(); }
    QString error() const { return m_tmpfs ? m_tmpfs->error() : m_image->error(); }
    QString path() const { return m_tmpfs ? m_tmpfs->path() : m_image->path(); }
    QString filePath(const QString& name) const { return path() + u'/' + name; }
    qint64 available() const { return availableAt(path()); }

    // Why a volume of this kind cannot be had here; empty when it can.
    static QString unavailable(const QString& kind)
    {
        if (kind.startsWith(QLatin1String("tmpfs"))) {
            return mountingUnavailable();
        }
        const QString why = diskImagesUnavailable();
        return why.isEmpty() && kind == QLatin1String("btrfs") ? BtrfsVolume::unavailable() : why;
    }

private:
    std::unique_ptr<Tmpfs> m_tmpfs;
    std::unique_ptr<ImageVolume> m_image;
};

#define VOLUME(var, kind, bytes)                                                                                       \
    if (const QString why = Volume::unavailable(kind); !why.isEmpty())                                                 \
        QSKIP(qPrintable(why));                                                                                        \
    Volume var(kind, bytes);                                                                                           \
    QVERIFY2(var.isMounted(), qPrintable(var.error()));

// Waits until ready() holds for what the started process printed on stderr so far; false when it
// ended first or a minute passed. err: what it printed.
inline bool readUntil(QProcess& process, const std::function<bool(const QString& err)>& ready, QString* err = nullptr)
{
    QString text;
    QElapsedTimer timer;
    timer.start();
    bool found = false;
    if (process.waitForStarted()) {
        while (process.state() == QProcess::Running && !(found = ready(text)) && timer.elapsed() < 60000) {
            process.waitForReadyRead(20);
            text += QString::fromLocal8Bit(process.readAllStandardError());
        }
    }
    if (err) {
        *err = text;
    }
    return found;
}

// Starts the filler, waits until ready() holds for what it printed on stderr so far (or it ended),
// then sends it signal (none when 0; below 0, -signal to its process group) and waits for its end.
inline Outcome runAndSignal(const QStringList& arguments, const std::function<bool(const QString& err)>& ready,
                            int signal, const QStringList& prefix = {})
{
    QProcess process;
    if (prefix.isEmpty()) {
        process.start(QStringLiteral(TALLOWMERE_FILL), arguments);
    } else {
        process.start(prefix.first(), prefix.mid(1) + QStringList { QStringLiteral(TALLOWMERE_FILL) } + arguments);
    }
    Outcome outcome;
    if (!readUntil(process, ready, &outcome.err) && process.state() == QProcess::NotRunning
        && process.error() == QProcess::FailedToStart) {
        return outcome;
    }
    // Ended already, the filler has no pid: a signal to 0 would reach the test's own group.
    if (const auto pid = static_cast<pid_t>(process.processId()); signal != 0 && pid > 0) {
        // A second signal in the next byte is sent right after the first.
        for (int each = std::abs(signal); each != 0; each >>= 8) {
            ::kill(signal > 0 ? pid : -pid, each & 0xff);
        }
    }
    process.waitForFinished(60000);
    outcome.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    outcome.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    outcome.err += QString::fromLocal8Bit(process.readAllStandardError());
    return outcome;
}

// Every entry below dir with its times and a hash of its content, and what dir's volume has available.
inline QString snapshot(const QString& dir)
{
    QStringList entries { QString::number(availableAt(dir)) };
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    for (QString path = dir; !path.isEmpty(); path = it.hasNext() ? it.next() : QString()) {
        const QFileInfo info(path);
        entries << QStringLiteral("%1 %2 %3 %4")
                       .arg(path)
                       .arg(qHash(readFile(path)))
                       .arg(info.fileTime(QFileDevice::FileModificationTime).toMSecsSinceEpoch())
                       .arg(info.fileTime(QFileDevice::FileAccessTime).toMSecsSinceEpoch());
    }
    entries.sort();
    return entries.join(u'\n');
}

inline QJsonObject lastJsonLine(const QString& text)
{
    const QStringList lines = text.split(u'\n', Qt::SkipEmptyParts);
    return lines.isEmpty() ? QJsonObject() : QJsonDocument::fromJson(lines.last().toUtf8()).object();
}
