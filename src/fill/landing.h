#pragma once

#include <QString>

#include <optional>

namespace fill {

// Where the data of a file at path lands: the drive and folder of the path, or, through a symbolic
// link, of the file it points to. Nothing when that place cannot be told (a name that is no text).
// Leaves the LIB_SYS path values describing the path as typed.
struct LandingFolder
{
    QString drive;
    QString dir;
};
std::optional<LandingFolder> landingFolder(const QString& path);

} // namespace fill
