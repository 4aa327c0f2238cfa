#include "core/pathparts.h"

#include "platform/filesystem.h"

namespace fill {

PathRules PathRules::native()
{
#ifdef Q_OS_WIN
    return windowsPaths;
#else
    return posixPaths;
#endif
}

PathParts splitPath(const QString& path, PathRules rules)
{
    PathParts parts;
    QString rest = path;
    if (rules.drives && rest.size() >= 2 && rest[1] == u':') {
        parts.drive = rest.left(2);
        rest.remove(0, 2);
    }
    const qsizetype separator = lastPosition(rest, rules.separator);
    parts.folder = rest.left(separator);
    rest.remove(0, separator);
    if (const qsizetype dot = lastPosition(rest, QStringLiteral(".")); dot > 0) {
        parts.name = rest.left(dot - 1);
        parts.extension = rest.mid(dot - 1);
    } else {
        parts.name = rest;
    }
    return parts;
}

qsizetype lastPosition(const QString& text, const QString& find)
{
    const qsizetype lastStart = text.size() - find.size();
    if (find.isEmpty() || lastStart < 0) {
        return 0;
    }
    // Search from the last possible start, never from size(): from there Qt would also compare the
    // string's terminating NUL, and find a "\0" one past the end.
    return text.lastIndexOf(find, lastStart) + 1;
}

QString dialogFolder(const QString& path, PathRules rules)
{
    const PathParts parts = splitPath(path, rules);
    return parts.drive + rules.separator + parts.folder;
}

std::optional<PathParts> landingFolder(const QString& path)
{
    const auto landing = platform::landingPath(path);
    if (!landing) {
        return std::nullopt;
    }
    PathParts parts = splitPath(*landing);
    parts.name.clear();
    parts.extension.clear();
    return parts;
}

} // namespace fill
