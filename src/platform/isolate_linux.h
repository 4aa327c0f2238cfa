#pragma once

#include "platform/isolate.h"

#include <QByteArray>

#include <cstdint>
#include <ctime>
#include <sys/types.h>
#include <vector>

namespace platform {

namespace isolation {

// What a child tells the parent when it cannot lay the layer or join it: one write, so one read.
struct Report
{
    IsolationStep step = IsolationStep::UserNamespace;
    int error = 0;
    int root = 0; // which of the folders
    char detail[200] = {}; // the kernel's own words, where it has any
};

// One folder the layer lies over: the isolated folder itself, then each volume mounted below it.
struct Root
{
    QByteArray path;
    QByteArray relative; // below the isolated folder; empty for the folder itself
    QByteArray upper; // its part of the layer, and the work folder overlayfs needs beside it
    QByteArray work;
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    timespec times[2] = {};
    unsigned int attributes = 0; // the mount's own: read-only, nosuid, nodev, noexec, noatime
    dev_t device = 0; // as planned: what is found there later must be the very same
    ino_t inode = 0;
    bool file = false; // a file mounted below the folder: shown read-only, no layer of its own
};

// An overlay as it was laid: its mount and its top folder, to know it again.
struct Laid
{
    std::uint64_t mount = 0;
    std::uint64_t inode = 0;
};

// Ending the namespace's first process ends everything COMMAND started: it tells the process the
// filler waits for how COMMAND ended, and what was left.
struct Ending
{
    int status = 0; // COMMAND's, as waitpid() has it
    Leftovers left;
};

} // namespace isolation

struct Isolation::Plan
{
    using Root = isolation::Root;
    using Laid = isolation::Laid;
    using Step = IsolationStep;

    IsolationFacts facts;
    std::vector<Root> roots;
    bool newUserNamespace = false; // an ordinary user: a user namespace of its own, the same ids in it
    bool userXattr = false; // overlayfs keeps its marks in user.* attributes outside the first user namespace
    QByteArray uidMap;
    QByteArray gidMap;
    qint64 pageSize = 4096;
    qint64 pages = 0; // the space to leave
    std::optional<qint64> inodes;
    QByteArray layerSize;
    QByteArray layerInodes;
    QByteArray workingFolder;
    bool workingInside = false; // the working folder is in the isolated one
    int working = -1;
    int reports[2] = { -1, -1 }; // pipe: a child's Report when it fails
    int channel[2] = { -1, -1 }; // socket pair: the layer's volume handed over
    int leftovers[2] = { -1, -1 }; // pipe: what COMMAND left, once it ended
    int ended[2] = { -1, -1 }; // pipe: a byte once COMMAND ended, before what it left is ended
    // Held by the parent once the layer is laid: they keep the namespaces and the layer in being.
    int userNamespace = -1;
    int mountNamespace = -1;
    int layer = -1;
    // In the process that builds them: made ready beforehand, as nothing is allocated there.
    std::vector<int> lowers;
    std::vector<int> folders; // each root's folder, found once: its copy and its overlay go there
    std::vector<Laid> laid; // told by the process that builds them

    // In the child process that builds them: the namespaces and the layer, handed to the parent over
    // channel; ends once release closes. Never returns.
    [[noreturn]] void buildAndHandOver(int release);
    // Builds the namespaces and the layer. Returns the layer's volume.
    int build();
    void enterNamespaces() const;
    void takeLowers();
    int makeLayer() const;
    void makeLayerFolders(int layer) const;
    void layOverlays(int layer);
    void layOverlay(size_t i, int layer);
    void sizeLayer(int layer) const;
    // Tells the parent why, and ends the process that builds the namespaces.
    [[noreturn]] void fail(Step step, int error, int root = 0, int context = -1) const;
    // In the command's process, once it joined: makes a process namespace and its first process,
    // which forks the command. Only the command returns; the process it was follows how it ends.
    int ownProcesses() const;
    // Tells the parent why; error back for the caller.
    int report(Step step, int error, int root = 0, int context = -1) const;
    // In the command's process, right before exec: DIR's path, and the working folder if inside it,
    // still lead to the overlays laid. 0, or the errno value once reported.
    int checkLayer() const;
    // A child's report, if one came, with what the system forbids.
    IsolationFailure heard() const;
    IsolationFailure failure(Step step, int error) const;
};

} // namespace platform
