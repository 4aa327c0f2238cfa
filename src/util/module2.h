#pragma once

#include <QtGlobal>

namespace Module2 {

// Set to 1 by Stop (and by a close request); cleared by MK_FILE when a run starts.
// The run ends when it equals exactly 1.
extern qint16 STOP_FLAG;

} // namespace Module2
