#include "platform/proc_linux.h"

#include <QFile>
#include <QList>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform::isolation {

bool writeProcFile(const char* path, const char* text)
{
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const auto length = static_cast<ssize_t>(std::strlen(text));
    const bool written = ::write(fd, text, static_cast<size_t>(length)) == length;
    const int error = errno;
    ::close(fd);
    errno = error;
    return written;
}

int openFolder(const char* path)
{
    open_how how = {};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS;
    return static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how));
}

int openFile(const char* path)
{
    open_how how = {};
    how.flags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS;
    return static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how));
}

QByteArray readSmallFile(const char* path)
{
    QFile file(QString::fromLatin1(path));
    return file.open(QIODevice::ReadOnly) ? file.read(4096).trimmed() : QByteArray();
}

bool inInitialUserNamespace()
{
    const QList<QByteArray> map = readSmallFile("/proc/self/uid_map").simplified().split(' ');
    return map.size() == 3 && map[0] == "0" && map[1] == "0" && map[2] == "4294967295";
}

qint64 memoryAvailable()
{
    qint64 bytes = -1;
    for (const QByteArray& line : readSmallFile("/proc/meminfo").split('\n')) {
        if (line.startsWith("MemAvailable:") || line.startsWith("SwapFree:")) {
            bytes = std::max<qint64>(bytes, 0) + line.simplified().split(' ').value(1).toLongLong() * 1024;
        }
    }
    return bytes;
}

qint64 monotonicMilliseconds()
{
    timespec now = {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<qint64>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// A number at text, and past it and one separator.
namespace {

long long numberAt(const char*& text)
{
    long long number = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        number = number * 10 + (*text - '0');
    }
    if (*text != '\0') {
        ++text;
    }
    return number;
}

} // namespace

Leftovers othersHere(pid_t group)
{
    Leftovers found;
    struct stat own = {};
    char self[24] = {};
    const int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0 || ::stat("/proc/self/ns/pid", &own) != 0 || ::readlink("/proc/self", self, sizeof self - 1) <= 0) {
        if (proc >= 0) {
            ::close(proc);
        }
        return found;
    }
    alignas(dirent64) char entries[4096];
    for (ssize_t got; (got = ::getdents64(proc, entries, sizeof entries)) > 0;) {
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
            at += entry->d_reclen;
            const char* name = entry->d_name;
            if (name[0] < '1' || name[0] > '9' || std::strcmp(name, self) == 0) {
                continue;
            }
            Text path;
            path << "/proc/" << name << "/ns/pid";
            struct stat ns = {};
            if (::stat(path.text(), &ns) != 0 || ns.st_ino != own.st_ino || ns.st_dev != own.st_dev) {
                continue;
            }
            // "PID (NAME) STATE PPID PGRP ...": NAME is short, but may hold anything.
            Text statPath;
            statPath << "/proc/" << name << "/stat";
            char line[256] = {};
            const int fd = ::open(statPath.text(), O_RDONLY | O_CLOEXEC);
            const ssize_t length = fd < 0 ? -1 : ::read(fd, line, sizeof line - 1);
            if (fd >= 0) {
                ::close(fd);
            }
            const char* rest = length > 0 ? std::strrchr(line, ')') : nullptr;
            long long processGroup = -1;
            if (rest != nullptr && rest[1] == ' ' && rest[2] != '\0' && rest[3] == ' ') {
                rest += 4;
                numberAt(rest);
                processGroup = numberAt(rest);
            }
            ++(processGroup == group ? found.inGroup : found.outside);
        }
    }
    ::close(proc);
    return found;
}

bool anyOtherHere()
{
    return ::kill(-1, 0) == 0 || errno == EPERM;
}

QString userName(uid_t uid)
{
    const passwd* entry = ::getpwuid(uid);
    return entry == nullptr ? QString() : QString::fromLocal8Bit(entry->pw_name);
}

} // namespace platform::isolation
