#pragma once

#include "platform/isolate.h"

#include <QString>
#include <QtGlobal>

namespace fill {

// Why a folder is not isolated, in the order the rules are looked at.
enum class IsolationRefusal {
    None,
    Unavailable, // this system has no isolation
    NoFolder, // none was given
    Unreadable, // dir could not be resolved or looked at: error
    NotAFolder,
    RootFolder, // "/": nothing to lay a layer over but the whole system
    PseudoFileSystem, // on the kernel's pseudoFileSystem, not on a volume
    WayUnreadable, // as root: path, on the way, could not be looked at: error
    WayOwnedByUser, // as root: path belongs to uid (ownerName), who could swap what is below it
    WayWritable, // as root: path can be replaced through above, writable by anyUser or the group gid
    NotOwnFolder, // an ordinary user's namespace cannot give the layer another user's files
    VolumeBelow, // an ordinary user, and a volume mounted at path below dir
    RootUnreadable, // a volume below dir at path could not be looked at: error
    NoWorkingFolder, // the working folder cannot be told: error
    CannotPrepare, // the pipes the layer is built with could not be made: error
};

// The isolation's plan: whether a folder may be isolated, and what is worth saying beforehand. The
// values are those the words need.
struct IsolationPlan
{
    IsolationRefusal refusal = IsolationRefusal::None;
    QString dir; // as given
    QString path;
    QString above;
    int error = 0;
    uint uid = 0;
    QString ownerName;
    bool anyUser = false;
    uint gid = 0;
    QString pseudoFileSystem;
    // The layer lives in memory: bytes to leave beyond the memory (and swap) free.
    bool memoryShort = false;
    qint64 memory = -1;
    qint64 bytes = 0;

    bool refused() const { return refusal != IsolationRefusal::None; }
};

// Decides from what the system says of the folder; bytes: what the command is to see available.
IsolationPlan planIsolation(const platform::IsolationFacts& facts, qint64 bytes);

} // namespace fill
