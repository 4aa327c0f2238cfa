#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <memory>
#include <optional>

namespace platform {

// Why a command cannot be given a layer of its own over a folder on this system.
enum class IsolationUnavailable {
    Available,
    Windows, // no user or mount namespaces there
    NotLinux, // another system without them
};
IsolationUnavailable isolationUnavailable();

// What the system says about a folder to be isolated: what the plan (core) decides from.
struct IsolationFacts
{
    // A folder on the way from DIR up to /, and the folder above it.
    struct OnTheWay
    {
        QString path;
        int error = 0; // of looking at it or at the folder above; nothing else is known then
        uint uid = 0;
        QString ownerName; // the user's name, empty when the system has none
        QString above;
        uint aboveGid = 0;
        bool aboveSticky = false;
        bool aboveWritableByOthers = false;
        bool aboveWritableByGroup = false;
    };

    bool unavailable = false; // no isolation on this system at all
    QString given; // DIR as given
    QString folder; // its real path; empty when it could not be resolved
    int error = 0; // of resolving or looking at DIR
    bool isFolder = false;
    bool isRootFolder = false;
    QString pseudoFileSystem; // the kernel's pseudo file system it is on, empty on a volume
    bool asRoot = false;
    bool ownFolder = false; // the user's own
    QList<OnTheWay> way; // as root only, DIR first
    QList<QString> mountsBelow; // parents first
    QString unreadableRoot; // a volume below DIR that could not be looked at, and why
    int rootError = 0;
    int workingFolderError = 0; // of telling the working folder
    int prepareError = 0; // of making the pipes the layer is built with
    qint64 memoryAvailable = -1; // bytes of memory and swap free; -1 when not known
};

// Looks at dir; changes nothing.
IsolationFacts isolationFacts(const QString& dir);

// What a step of the isolation was when it failed.
enum class IsolationStep : int {
    None = 0, // none failed
    UserNamespace,
    IdMaps,
    MountNamespace,
    Private,
    Lower,
    Layer,
    LayerFolders,
    Overlay,
    Ballast,
    InodeLimit,
    Handover,
    Join,
    ProcessNamespace,
    Replaced, // a folder on the way was replaced since the plan
    Fork, // the process that builds the layer could not be started
    NotHandedOver, // the namespaces did not reach the filler
    Unprepared, // the folder's facts were not all there (the plan refuses it)
    Unavailable, // no isolation on this system
};

// What the system forbids, where an ordinary user's namespaces or the PID namespace are refused.
enum class NamespaceBar {
    None,
    NoUserNamespaces, // user.max_user_namespaces is 0
    UserNamespacesUsedUp, // its limit is reached
    UnprivilegedClone, // kernel.unprivileged_userns_clone is 0
    AppArmor, // kernel.apparmor_restrict_unprivileged_userns is 1
    UserNamespaceRefused, // another reason, in the errno value
    NoPidNamespaces, // user.max_pid_namespaces is 0
    PidNamespacesUsedUp, // its limit, or the nesting's, is reached
};

// Why the isolation failed, as codes and the values a message needs.
struct IsolationFailure
{
    IsolationStep step = IsolationStep::None;
    int error = 0; // errno value; 0 for a folder replaced by another one
    QString folder; // DIR, its links resolved
    QString where; // the folder of the step (DIR, or a volume below it)
    QString detail; // the kernel's own words, where it has any
    NamespaceBar bar = NamespaceBar::None;

    bool failed() const { return step != IsolationStep::None; }
};

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

// A copy of the layer, and what kept it from being whole.
struct KeptLayer
{
    enum class Problem {
        None,
        NoLayer, // there is none to keep
        NotMade, // the folder could not be made: path, error
        Interrupted, // stopped() said so: path holds part of it
        NotAllCopied, // notCopied entries, the first firstName: error
    };
    QString path; // empty when none was made
    Problem problem = Problem::None;
    int error = 0;
    qint64 notCopied = 0;
    QString firstName;
};

// A folder as one command sees it: as it is, but with only so much space left. A file system in
// memory of exactly that size lies over it (overlayfs), in a mount namespace of its own (and, for an
// ordinary user, a user namespace in which the user keeps their ids), so what the command writes
// lands there and nowhere else, and is gone when the command and its children are. The command runs in
// a process namespace of its own, under a first process of this program's: when the command ends,
// so does everything it started (SIGTERM, the grace time, then the kernel's SIGKILL), however it
// forks, and a filler killed outright takes it all with it.
//
// The parent looks at the folder (the constructor; facts() for the plan to decide on), has a
// short-lived child process build the namespaces and the layer (lay()) while it keeps hold of them,
// has the command's process join them between fork and exec (join()), and afterwards learns what the
// command wrote. lay() is for a folder the plan allowed.
class Isolation
{
public:
    // bytes to leave available (rounded up to whole pages of memory); with inodes, only that many
    // more files can be made. Nothing is made yet.
    Isolation(const QString& dir, qint64 bytes, std::optional<qint64> inodes);
    ~Isolation();
    Isolation(const Isolation&) = delete;
    Isolation& operator=(const Isolation&) = delete;

    const IsolationFacts& facts() const;
    QString folder() const; // the folder, its links resolved
    qint64 bytesAvailable() const; // what the command will see available

    // Builds the namespaces and the layer; what failed, if anything.
    IsolationFailure lay();
    // In the command's process, between fork and exec: joins the namespaces, makes the process
    // namespace and forks twice: only the command's process returns, the one it was called in ends
    // the way the command ends. System calls only; when it cannot, it tells joinFailure() and
    // returns the errno value, else 0.
    int join() const;
    // Once the command's process ended: why it could not join; none when it did (or never tried).
    IsolationFailure joinFailure() const;
    // While the command's process waits for what the command left to end: true once the command ended.
    bool commandEnded() const;
    // Once the command's process has ended: what the command left running, already ended.
    Leftovers leftovers() const;
    // Once the command has ended: what it wrote into the layer.
    LayerUse use() const;
    // Copies the layer's files into a new folder outside the isolated one. stopped, asked now and then,
    // ends the copy. Files the command removed are there as overlayfs marks them: character devices 0, 0.
    KeptLayer keep(const std::function<bool()>& stopped = {}) const;

    struct Plan;

private:
    std::unique_ptr<Plan> d;
};

} // namespace platform
