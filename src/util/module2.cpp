#include "util/module2.h"

namespace Module2 {

qint16 STOP_FLAG = 0;

} // namespace Module2
