#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>
#include <memory>
#include <optional>

namespace platform {

// Why a command cannot be given a layer of its own over a folder on this system; empty where it can.
QString isolationUnavailable();

// What a command wrote into its layer.
struct LayerUse
{
    qint64 bytes = 0; // of the space that was left, what it took
    qint64 files = 0; // files, links and other entries made or changed (not folders, not removals)
};

// What a command left running when it ended; all of it ended with it.
struct Leftovers
{
    int inGroup = 0; // in its process group
    int outside = 0; // that had left it (a daemon that called setsid)
    int stubborn = 0; // of them, still there after SIGTERM and the grace time: killed
};

// A folder as one command sees it: as it is, but with only so much space left. A file system in
// memory of exactly that size lies over it (overlayfs), in a mount namespace of its own (and, for an
// ordinary user, a user namespace in which the user keeps their ids), so what the command writes
// lands there and nowhere else, and is gone when the command and its children are. The command runs in
// a process namespace of its own, under a first process of this program's: when the command ends,
// so does everything it started (SIGTERM, the grace time, then the kernel's SIGKILL), however it
// forks, and a filler killed outright takes it all with it.
//
// The parent plans it (the constructor), has a short-lived child process build the namespaces and
// the layer (lay()) while it keeps hold of them, has the command's process join them between fork and
// exec (join()), and afterwards learns what the command wrote.
class Isolation
{
public:
    // bytes to leave available (rounded up to whole pages of memory); with inodes, only that many
    // more files can be made. Nothing is made yet; error() says why it cannot be done at all.
    Isolation(const QString& dir, qint64 bytes, std::optional<qint64> inodes);
    ~Isolation();
    Isolation(const Isolation&) = delete;
    Isolation& operator=(const Isolation&) = delete;

    QString error() const;
    // Something worth saying before the command runs (a layer larger than the memory free); may be empty.
    QString warning() const;
    QString folder() const; // the folder, its links resolved
    qint64 bytesAvailable() const; // what the command will see available

    // Builds the namespaces and the layer. Why it could not, naming the cause when the system forbids
    // the namespaces; empty once it is laid.
    QString lay();
    // In the command's process, between fork and exec: joins the namespaces, makes the process
    // namespace and forks twice: only the command's process returns, the one it was called in ends
    // the way the command ends. System calls only; when it cannot, it says why for joinFailure() and
    // returns the errno value, else 0.
    int join() const;
    // Once the command's process ended: why it could not join; empty when it did (or never tried).
    QString joinFailure() const;
    // While the command's process waits for what the command left to end: true once the command ended.
    bool commandEnded() const;
    // Once the command's process has ended: what the command left running, already ended.
    Leftovers leftovers() const;
    // Once the command has ended: what it wrote into the layer.
    LayerUse use() const;
    // Copies the layer's files into a new folder outside the isolated one and returns its path;
    // empty when there is none. why: what could not be copied, or that stopped, asked now and then,
    // ended the copy. Files the command removed are there as overlayfs marks them: character devices 0, 0.
    QString keep(QString* why, const std::function<bool()>& stopped = {}) const;

private:
    struct Plan;
    std::unique_ptr<Plan> d;
};

} // namespace platform
