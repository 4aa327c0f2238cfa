#include "util/lib_sys.h"

#include <cmath>

namespace LIB_SYS {

QString PATH_DRIVE;
QString PATH_DIR;
QString PATH_NAME;
QString PATH_EXT;

PathRules nativePaths()
{
#ifdef Q_OS_WIN
    return windowsPaths;
#else
    return posixPaths;
#endif
}

void SPLIT_PATH(const QString& path)
{
    SPLIT_PATH(path, nativePaths());
}

void SPLIT_PATH(const QString& path, PathRules rules)
{
    PATH_DRIVE.clear();
    PATH_DIR.clear();
    PATH_NAME.clear();
    PATH_EXT.clear();

    QString s = path;
    if (rules.drives && s.size() >= 2 && s[1] == u':') {
        PATH_DRIVE = s.left(2);
        s.remove(0, 2);
    }
    const qsizetype p = LAST_INSTR(s, rules.separator).toLongLong();
    if (p > 0) {
        PATH_DIR = s.left(p);
    }
    s.remove(0, p);
    const qsizetype d = LAST_INSTR(s, QStringLiteral(".")).toLongLong();
    if (d > 0) {
        PATH_NAME = s.left(d - 1);
        PATH_EXT = s.mid(d - 1);
    } else {
        PATH_NAME = s;
    }
}

QString LAST_INSTR(const QString& text, const QString& find)
{
    const qsizetype lastStart = text.size() - find.size();
    if (find.isEmpty() || lastStart < 0) {
        return QStringLiteral("0");
    }
    // The start of the last match, overlapping matches included, is where the last one begins.
    // Searching from the last possible start, never from size(): from there Qt would also compare
    // the string's terminating NUL, and find a "\0" one past the end.
    return QString::number(text.lastIndexOf(find, lastStart) + 1);
}

namespace {

// Nearest whole number, halves to even.
double whole(double value)
{
    return std::nearbyint(value);
}

double centerAxis(double mainStart, double mainLength, double length, double screenLength)
{
    const auto half = static_cast<long long>(whole(mainLength - length)) / 2; // truncates toward zero
    double position = whole(mainStart + static_cast<double>(half));
    if (position < 0) {
        position = 0;
    }
    if (screenLength - length < position) {
        position = whole(screenLength - length);
    }
    return position;
}

} // namespace

Placement centerPlacement(double mainLeft, double mainTop, double mainWidth, double mainHeight, double width,
                          double height, double screenWidth, double screenHeight)
{
    return { centerAxis(mainLeft, mainWidth, width, screenWidth),
             centerAxis(mainTop, mainHeight, height, screenHeight) };
}

} // namespace LIB_SYS
