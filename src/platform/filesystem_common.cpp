#include "platform/filesystem.h"

#include <QFileInfo>

namespace platform {

QString landingPath(const QString& path)
{
    const QFileInfo info(path);
    if (!path.isEmpty() && info.isSymbolicLink()) {
        if (const QString target = info.canonicalFilePath(); !target.isEmpty()) {
            return target;
        }
    }
    return path;
}

} // namespace platform
