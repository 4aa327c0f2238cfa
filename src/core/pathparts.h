#pragma once

#include <QChar>
#include <QString>

#include <optional>

namespace fill {

// How a platform writes paths: its separator, and whether "X:" at the start names a drive.
struct PathRules
{
    QChar separator;
    bool drives;

    static PathRules native();
};
inline constexpr PathRules windowsPaths { u'\\', true };
inline constexpr PathRules posixPaths { u'/', false };

// A path taken apart. Parts the path does not have are empty.
struct PathParts
{
    QString drive; // "C:" and the like; always empty where paths have no drives
    QString folder; // up to and including the last separator
    QString name; // the file name without its extension
    QString extension; // from the last "." of the file name on, the "." included

    bool operator==(const PathParts&) const = default;
};

PathParts splitPath(const QString& path, PathRules rules = PathRules::native());

// The 1-based position of the last occurrence of find in text, overlapping ones included; 0 when
// there is none (or find is empty). Positions are 64-bit, so texts of any length are fine.
qsizetype lastPosition(const QString& text, const QString& find);

// The folder the file dialog opens in: the drive of the path, a separator, then its folder, joined
// as they stand ("C:" + "\" + "\data\" gives "C:\\data\"); the caller cleans it before use.
QString dialogFolder(const QString& path, PathRules rules = PathRules::native());

// Where the data of a file at path lands: the drive and folder of the path, or, through a symbolic
// link, of the file it points to. Nothing when that place cannot be told (a name that is no text).
std::optional<PathParts> landingFolder(const QString& path);

} // namespace fill
