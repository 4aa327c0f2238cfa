#pragma once

#include "util/lib_sys.h"

#include <QString>

namespace fill {

// The folder the file dialog opens in: the drive of the output path, a separator, then its folder,
// joined as they stand ("C:" + "\" + "\data\" gives "C:\\data\"); the caller cleans it before use.
// Splits the path, so the LIB_SYS path values describe it afterwards.
QString browseInitialDir(const QString& path, LIB_SYS::PathRules rules);

} // namespace fill
