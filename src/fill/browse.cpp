#include "fill/browse.h"

namespace fill {

QString browseInitialDir(const QString& path, LIB_SYS::PathRules rules)
{
    LIB_SYS::SPLIT_PATH(path, rules);
    return LIB_SYS::PATH_DRIVE + rules.separator + LIB_SYS::PATH_DIR;
}

} // namespace fill
