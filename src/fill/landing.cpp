#include "fill/landing.h"

#include "platform/filesystem.h"
#include "util/lib_sys.h"

namespace fill {

std::optional<LandingFolder> landingFolder(const QString& path)
{
    const auto landing = platform::landingPath(path);
    LIB_SYS::SPLIT_PATH(landing.value_or(path));
    const LandingFolder folder { LIB_SYS::PATH_DRIVE, LIB_SYS::PATH_DIR };
    // The path values stay those of the text, as everywhere else.
    LIB_SYS::SPLIT_PATH(path);
    if (!landing) {
        return std::nullopt;
    }
    return folder;
}

} // namespace fill
