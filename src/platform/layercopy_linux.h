#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>
#include <sys/stat.h>

namespace platform::isolation {

// Walks a layer: counts what the command made or changed and, given a folder to copy into, copies it.
class LayerWalk
{
public:
    explicit LayerWalk(bool keepOwners)
        : m_keepOwners(keepOwners)
    {
    }

    qint64 files = 0;
    qint64 notCopied = 0;
    QString firstName; // of what could not be copied first, and why
    int firstError = 0;
    std::function<bool()> stopped; // asked between entries and chunks: true ends the copy where it is
    bool interrupted = false;

    bool stop() { return interrupted = interrupted || (stopped && stopped()); }
    // to: the folder to copy into, -1 to count only.
    void folder(int from, int to);
    // The folder's owner (when kept), permissions and times, once its entries are in.
    void finish(int fd, const struct stat& st);
    // One entry that could not be copied.
    void note(int error, const QString& name);

private:
    void subfolder(int from, int to, const char* name, const struct stat& st);
    void copy(int from, int to, const char* name, const struct stat& st);
    bool copyData(int source, int target);

    const bool m_keepOwners;
};

} // namespace platform::isolation
