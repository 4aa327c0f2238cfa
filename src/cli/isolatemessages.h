#pragma once

#include "core/isolationplan.h"
#include "platform/isolate.h"

#include <QString>
#include <QStringList>

namespace cli {

// The words of --isolate: each code of the plan and of the platform, said once here.

// Why --isolate cannot run on this system; empty where it can.
QString isolationUnavailableMessage(platform::IsolationUnavailable why);
// Why DIR is refused; empty when it is not.
QString isolationRefusalMessage(const fill::IsolationPlan& plan);
// What is worth saying before COMMAND runs; empty when nothing is.
QString isolationWarning(const fill::IsolationPlan& plan);
// Why the layer could not be laid or joined; empty when it was.
QString isolationFailureMessage(const platform::IsolationFailure& failure);
// What kept --keep's copy from being whole; empty when it is.
QString keptLayerProblem(const platform::KeptLayer& kept);
QString keptLayerMessage(const QString& path);
// What command left running, ended with the layer; inGroup also when the holder found some.
QStringList leftoverMessages(const QString& command, bool leftRunning, const platform::Leftovers& left,
                             int graceSeconds);

} // namespace cli
