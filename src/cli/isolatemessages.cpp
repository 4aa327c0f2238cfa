#include "cli/isolatemessages.h"

#include <cerrno>
#include <cstring>

namespace cli {

namespace {

using Refusal = fill::IsolationRefusal;
using Step = platform::IsolationStep;
using Bar = platform::NamespaceBar;

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString userName(uint uid, const QString& name)
{
    const QString id = QStringLiteral("uid %1").arg(uid);
    return name.isEmpty() ? id : QStringLiteral("%1 (%2)").arg(name, id);
}

// Why root may not lay a layer by this path.
QString replaceableMessage(const fill::IsolationPlan& plan)
{
    if (plan.refusal == Refusal::WayUnreadable) {
        return plan.path + QStringLiteral(": ") + errorText(plan.error);
    }
    if (plan.refusal == Refusal::WayOwnedByUser) {
        return QStringLiteral("%1 belongs to %2, who can rename or replace the folders in it while the isolation "
                              "runs, leading root's paths elsewhere: run the isolation as %2 instead (it needs no "
                              "root)")
            .arg(plan.path, userName(plan.uid, plan.ownerName));
    }
    const QString who = plan.anyUser ? QStringLiteral("any user") : QStringLiteral("the group gid %1").arg(plan.gid);
    return QStringLiteral("%1 can be renamed or replaced by %2 (%3 is writable by them, without the sticky "
                          "bit) while the isolation runs, leading root's paths elsewhere: run the isolation as "
                          "the user it is for instead (it needs no root)")
        .arg(plan.path, who, plan.above);
}

// What the system forbids, as the cause of an ordinary user's failure; empty when that is not it.
QString namespaceCause(const platform::IsolationFailure& failure)
{
    switch (failure.bar) {
    case Bar::None:
    case Bar::NoPidNamespaces:
    case Bar::PidNamespacesUsedUp:
        return {};
    case Bar::NoUserNamespaces:
        return QStringLiteral("the system allows no user namespaces (sysctl user.max_user_namespaces is 0)");
    case Bar::UserNamespacesUsedUp:
        return QStringLiteral("the system allows no more user namespaces (the limit of sysctl "
                              "user.max_user_namespaces, here or in an enclosing namespace, is reached)");
    case Bar::UnprivilegedClone:
        return QStringLiteral("the system lets no ordinary user make user namespaces (sysctl "
                              "kernel.unprivileged_userns_clone is 0)");
    case Bar::AppArmor:
        return QStringLiteral("AppArmor restricts the user namespaces of ordinary users (sysctl "
                              "kernel.apparmor_restrict_unprivileged_userns is 1)");
    case Bar::UserNamespaceRefused:
        return QStringLiteral("the system does not let this user make a user namespace (%1)")
            .arg(errorText(failure.error));
    }
    return {};
}

// What the failing step was doing; empty for the failures said in words of their own.
QString stepText(Step step)
{
    switch (step) {
    case Step::None:
    case Step::Replaced:
    case Step::Fork:
    case Step::NotHandedOver:
    case Step::Unprepared:
    case Step::Unavailable:
        return {};
    case Step::UserNamespace:
        return QStringLiteral("making a user namespace");
    case Step::IdMaps:
        return QStringLiteral("giving the user namespace the same ids");
    case Step::MountNamespace:
        return QStringLiteral("making a mount namespace");
    case Step::Private:
        return QStringLiteral("making the mounts private");
    case Step::Lower:
        return QStringLiteral("taking a read-only copy of");
    case Step::Layer:
        return QStringLiteral("making the layer in memory");
    case Step::LayerFolders:
        return QStringLiteral("making the layer's folders");
    case Step::Overlay:
        return QStringLiteral("laying the layer over");
    case Step::Ballast:
        return QStringLiteral("sizing the layer");
    case Step::InodeLimit:
        return QStringLiteral("limiting the layer's files");
    case Step::Handover:
        return QStringLiteral("handing the layer over");
    case Step::Join:
        return QStringLiteral("joining the layer");
    case Step::ProcessNamespace:
        return QStringLiteral("making a process namespace");
    }
    return {};
}

// A failure said in words of its own, not as a step; empty for the others.
QString ownWords(const platform::IsolationFailure& failure)
{
    const QString reason = errorText(failure.error);
    switch (failure.step) {
    case Step::None:
        return {};
    case Step::Replaced:
        return QStringLiteral("cannot isolate %1: %2 no longer leads to the folder planned, or to its layer: a "
                              "folder on the way was replaced meanwhile%3")
            .arg(failure.folder, failure.where, failure.error == 0 ? QString() : QStringLiteral(" (%1)").arg(reason));
    case Step::Fork:
        return QStringLiteral("cannot isolate %1: %2").arg(failure.folder, reason);
    case Step::NotHandedOver:
        return QStringLiteral("cannot isolate %1: the namespaces were not handed over (%2)")
            .arg(failure.folder, reason);
    case Step::Unprepared:
        return QStringLiteral("cannot isolate %1: it was not looked at first").arg(failure.folder);
    case Step::Unavailable:
        return isolationUnavailableMessage(platform::isolationUnavailable());
    case Step::UserNamespace:
    case Step::IdMaps:
    case Step::MountNamespace:
    case Step::Private:
    case Step::Lower:
    case Step::Layer:
    case Step::LayerFolders:
    case Step::Overlay:
    case Step::Ballast:
    case Step::InodeLimit:
    case Step::Handover:
    case Step::Join:
    case Step::ProcessNamespace:
        return {};
    }
    return {};
}

} // namespace

QString isolationUnavailableMessage(platform::IsolationUnavailable why)
{
    switch (why) {
    case platform::IsolationUnavailable::Available:
        return {};
    case platform::IsolationUnavailable::Windows:
        return QStringLiteral("--isolate is not available on Windows: it needs Linux's user and mount namespaces; "
                              "fill the volume for real instead");
    case platform::IsolationUnavailable::NotLinux:
        return QStringLiteral("--isolate is not available on this system: it needs Linux's user and mount "
                              "namespaces; fill the volume for real instead");
    }
    return {};
}

QString isolationRefusalMessage(const fill::IsolationPlan& plan)
{
    const QString& dir = plan.dir;
    switch (plan.refusal) {
    case Refusal::None:
        return {};
    case Refusal::Unavailable:
        return isolationUnavailableMessage(platform::isolationUnavailable());
    case Refusal::NoFolder:
        return QStringLiteral("--isolate needs a folder");
    case Refusal::Unreadable:
        return dir + QStringLiteral(": ") + errorText(plan.error);
    case Refusal::NotAFolder:
        return QStringLiteral("%1 is not a folder").arg(dir);
    case Refusal::RootFolder:
        return QStringLiteral("%1 is the root folder: --isolate takes a folder below it").arg(dir);
    case Refusal::PseudoFileSystem:
        return QStringLiteral("%1 is on the kernel's %2 file system, not on a volume").arg(dir, plan.pseudoFileSystem);
    case Refusal::WayUnreadable:
    case Refusal::WayOwnedByUser:
    case Refusal::WayWritable:
        return QStringLiteral("cannot isolate %1 as root: ").arg(dir) + replaceableMessage(plan);
    case Refusal::NotOwnFolder:
        return QStringLiteral("%1 belongs to another user: as an ordinary user, --isolate takes a folder of your "
                              "own (or run it as root)")
            .arg(dir);
    case Refusal::VolumeBelow:
        return QStringLiteral("a volume is mounted below %1 (at %2): the kernel lets only root lay a layer over "
                              "such a folder; run it as root, or isolate a folder without one")
            .arg(dir, plan.path);
    case Refusal::RootUnreadable:
        return plan.path + QStringLiteral(": ") + errorText(plan.error);
    case Refusal::NoWorkingFolder:
        return QStringLiteral("cannot tell the working folder (%1): start from another one").arg(errorText(plan.error));
    case Refusal::CannotPrepare:
        return QStringLiteral("cannot prepare the layer: ") + errorText(plan.error);
    }
    return {};
}

QString isolationWarning(const fill::IsolationPlan& plan)
{
    if (!plan.memoryShort) {
        return {};
    }
    return QStringLiteral("the layer lives in memory, and this machine has only %1 bytes of memory and swap free for "
                          "the %2 to leave")
        .arg(plan.memory)
        .arg(plan.bytes);
}

QString isolationFailureMessage(const platform::IsolationFailure& failure)
{
    // An ordinary user's namespaces can be forbidden in several ways; say which, and the ways round.
    if (const QString cause = namespaceCause(failure); !cause.isEmpty()) {
        return QStringLiteral("cannot isolate %1: %2; run it as root, or fill the volume for real "
                              "(tallowmere-fill FILE --leave SIZE --run COMMAND)")
            .arg(failure.folder, cause);
    }
    if (const QString words = ownWords(failure); !words.isEmpty() || !failure.failed()) {
        return words;
    }
    QString text = QStringLiteral("cannot isolate %1: %2").arg(failure.folder, stepText(failure.step));
    if (failure.step == Step::Lower || failure.step == Step::Overlay) {
        text += u' ' + failure.where;
    }
    text += QStringLiteral(": ") + errorText(failure.error);
    if (failure.bar == Bar::NoPidNamespaces) {
        text += QStringLiteral(" (the system allows no PID namespaces: sysctl user.max_pid_namespaces is 0)");
    } else if (failure.bar == Bar::PidNamespacesUsedUp) {
        text += QStringLiteral(" (the limit of sysctl user.max_pid_namespaces, here or in an enclosing namespace, or "
                               "of nested namespaces is reached)");
    }
    if (failure.error == ELOOP) {
        text += QStringLiteral(" (a folder on the way was replaced by a symbolic link meanwhile)");
    }
    if (!failure.detail.isEmpty()) {
        text += QStringLiteral(" (the kernel says: %1)").arg(failure.detail.trimmed());
    }
    return text;
}

QString keptLayerProblem(const platform::KeptLayer& kept)
{
    using Problem = platform::KeptLayer::Problem;
    switch (kept.problem) {
    case Problem::None:
        return {};
    case Problem::NoLayer:
        return QStringLiteral("there is no layer to keep");
    case Problem::NotMade:
        return kept.firstName + QStringLiteral(": ") + errorText(kept.error);
    case Problem::Interrupted:
        return QStringLiteral("interrupted: %1 holds only part of what COMMAND wrote").arg(kept.path);
    case Problem::NotAllCopied:
        return QStringLiteral("%1 of the layer's entries could not be copied to %2, first %3")
            .arg(kept.notCopied)
            .arg(kept.path, kept.firstName + QStringLiteral(": ") + errorText(kept.error));
    }
    return {};
}

QString keptLayerMessage(const QString& path)
{
    return QStringLiteral("what COMMAND wrote is kept in %1").arg(path);
}

QStringList leftoverMessages(const QString& command, bool leftRunning, const platform::Leftovers& left,
                             int graceSeconds)
{
    QStringList said;
    if (leftRunning || left.inGroup > 0) {
        said << QStringLiteral("%1 left processes running in its process group: they were ended before the layer "
                               "was dropped")
                    .arg(command);
    }
    const auto processes = [](int count) {
        return count == 1 ? QStringLiteral("a process") : QStringLiteral("%1 processes").arg(count);
    };
    if (left.outside > 0) {
        said << QStringLiteral("%1 left %2 running outside its process group, ended with the layer")
                    .arg(command, processes(left.outside));
    }
    if (left.stubborn > 0) {
        said << QStringLiteral("%1 of what %2 left did not end on SIGTERM within %3 s: killed with the layer")
                    .arg(processes(left.stubborn), command)
                    .arg(graceSeconds);
    }
    return said;
}

} // namespace cli
