#pragma once

#include <QByteArray>
#include <QList>

namespace platform::isolation {

// The mount points strictly below folder, parents before what is mounted inside them, as
// /proc/self/mountinfo lists them.
QList<QByteArray> mountsBelow(const QByteArray& folder);

} // namespace platform::isolation
