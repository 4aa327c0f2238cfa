#include "core/isolationplan.h"

namespace fill {

namespace {

// Root's layer is laid, and the command started, by path: if another user can rename or replace a
// folder on the way (its own, or an entry of a folder others may write to without the sticky bit),
// the path can lead elsewhere at any moment. The first such folder refuses it.
bool refuseReplaceable(const platform::IsolationFacts& facts, IsolationPlan& plan)
{
    for (const platform::IsolationFacts::OnTheWay& folder : facts.way) {
        plan.path = folder.path;
        plan.above = folder.above;
        if (folder.error != 0) {
            plan.refusal = IsolationRefusal::WayUnreadable;
            plan.error = folder.error;
            return true;
        }
        if (folder.uid != 0) {
            plan.refusal = IsolationRefusal::WayOwnedByUser;
            plan.uid = folder.uid;
            plan.ownerName = folder.ownerName;
            return true;
        }
        if (folder.path != QLatin1String("/") && !folder.aboveSticky
            && (folder.aboveWritableByOthers || (folder.aboveWritableByGroup && folder.aboveGid != 0))) {
            plan.refusal = IsolationRefusal::WayWritable;
            plan.anyUser = folder.aboveWritableByOthers;
            plan.gid = folder.aboveGid;
            return true;
        }
    }
    plan.path.clear();
    plan.above.clear();
    return false;
}

IsolationRefusal refusalOf(const platform::IsolationFacts& facts, IsolationPlan& plan)
{
    using R = IsolationRefusal;
    if (facts.unavailable) {
        return R::Unavailable;
    }
    if (facts.given.isEmpty()) {
        return R::NoFolder;
    }
    plan.error = facts.error;
    if (facts.error != 0) {
        return R::Unreadable;
    }
    if (!facts.isFolder) {
        return R::NotAFolder;
    }
    if (facts.isRootFolder) {
        return R::RootFolder;
    }
    if (!facts.pseudoFileSystem.isEmpty()) {
        plan.pseudoFileSystem = facts.pseudoFileSystem;
        return R::PseudoFileSystem;
    }
    if (facts.asRoot && refuseReplaceable(facts, plan)) {
        return plan.refusal;
    }
    if (!facts.asRoot && !facts.ownFolder) {
        return R::NotOwnFolder;
    }
    // The kernel does not let a user namespace see under the mounts it was given, and a layer over
    // the folder would show what is under them.
    if (!facts.asRoot && !facts.mountsBelow.isEmpty()) {
        plan.path = facts.mountsBelow.first();
        return R::VolumeBelow;
    }
    if (facts.rootError != 0) {
        plan.path = facts.unreadableRoot;
        plan.error = facts.rootError;
        return R::RootUnreadable;
    }
    if (facts.workingFolderError != 0) {
        plan.error = facts.workingFolderError;
        return R::NoWorkingFolder;
    }
    if (facts.prepareError != 0) {
        plan.error = facts.prepareError;
        return R::CannotPrepare;
    }
    return R::None;
}

} // namespace

IsolationPlan planIsolation(const platform::IsolationFacts& facts, qint64 bytes)
{
    IsolationPlan plan;
    plan.dir = facts.given;
    plan.refusal = refusalOf(facts, plan);
    if (!plan.refused()) {
        plan.error = 0;
        plan.bytes = bytes;
        plan.memory = facts.memoryAvailable;
        plan.memoryShort = facts.memoryAvailable >= 0 && bytes > facts.memoryAvailable;
    }
    return plan;
}

} // namespace fill
