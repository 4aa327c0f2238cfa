#pragma once

#include "platform/isolate.h"

#include <QByteArray>

#include <cstddef>
#include <sys/types.h>

// The isolation's look at /proc and its paths; what runs after fork uses system calls only.
namespace platform::isolation {

// Text put together without allocating: between fork and exec nothing may take a lock that another
// thread of the parent held.
class Text
{
public:
    Text& operator<<(const char* text)
    {
        while (*text != '\0' && m_size + 1 < sizeof m_data) {
            m_data[m_size++] = *text++;
        }
        m_data[m_size] = '\0';
        return *this;
    }
    Text& operator<<(long long number)
    {
        char digits[24];
        int count = 0;
        unsigned long long rest = number < 0 ? 0ULL - static_cast<unsigned long long>(number) : number;
        do {
            digits[count++] = static_cast<char>('0' + rest % 10);
            rest /= 10;
        } while (rest != 0);
        if (number < 0) {
            digits[count++] = '-';
        }
        char reversed[24];
        for (int i = 0; i < count; ++i) {
            reversed[i] = digits[count - 1 - i];
        }
        reversed[count] = '\0';
        return *this << static_cast<const char*>(reversed);
    }
    const char* text() const { return m_data; }

private:
    char m_data[512] = {};
    size_t m_size = 0;
};

// Writes text to a file of /proc (an id map, say). System calls only.
bool writeProcFile(const char* path, const char* text);
// A folder by its real path, through no symbolic link: one found on the way was put there since the
// path was resolved, by whoever may change the folders above, and could lead elsewhere. System calls only.
int openFolder(const char* path);
// The same for a file mounted below the folder (a bind mount of a single file).
int openFile(const char* path);
// Up to 4 KiB of a small file of /proc, trimmed; empty when it cannot be read.
QByteArray readSmallFile(const char* path);
bool inInitialUserNamespace();
// Bytes of memory the machine can still give, swap included; -1 when not known.
qint64 memoryAvailable();
// The user's name, empty when the system has none.
QString userName(uid_t uid);
qint64 monotonicMilliseconds();
// The other processes of this process namespace, as the system's /proc shows them: those in group
// (COMMAND's process group, by its number outside), and those that left it. System calls only.
Leftovers othersHere(pid_t group);
// Whether another process of this process namespace is there. System calls only.
bool anyOtherHere();

} // namespace platform::isolation
