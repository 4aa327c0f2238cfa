#include "platform/filesystem.h"

#include <QFileInfo>

namespace platform {

QString landingPath(const QString& path)
{
    QFileInfo info(path);
    if (path.isEmpty() || !info.isSymbolicLink()) {
        return path;
    }
    if (const QString target = info.canonicalFilePath(); !target.isEmpty()) {
        return target;
    }
    // A link to a file not made yet: the file is created where the last link of the chain points.
    for (int links = 0; links < 40 && info.isSymbolicLink(); ++links) {
        info.setFile(info.symLinkTarget());
    }
    return info.isSymbolicLink() ? path : info.filePath();
}

} // namespace platform
