#pragma once

#include <QChar>
#include <QString>

// General helpers: path splitting, last occurrence of a text, window placement.
namespace LIB_SYS {

// The parts of the path split last; SPLIT_PATH rewrites all four.
extern QString PATH_DRIVE; // "C:" and the like; always empty where paths have no drive
extern QString PATH_DIR; // up to and including the last separator
extern QString PATH_NAME; // the file name without its extension
extern QString PATH_EXT; // from the last "." of the file name on, the "." included

// How a platform writes paths: its separator, and whether "X:" at the start is a drive.
struct PathRules
{
    QChar separator;
    bool drives;
};
inline constexpr PathRules windowsPaths { u'\\', true };
inline constexpr PathRules posixPaths { u'/', false };
PathRules nativePaths();

void SPLIT_PATH(const QString& path);
void SPLIT_PATH(const QString& path, PathRules rules);

// The 1-based position of the last occurrence of find in text, as decimal text; "0" when there is
// none (or find is empty). Positions are 64-bit, so texts of any length are fine.
QString LAST_INSTR(const QString& text, const QString& find);

struct Placement
{
    double left;
    double top;
};

// Where a window of the given outer size goes, in twips: centred over the main window, then kept
// inside the screen (the left/top edge wins when the window is larger than the screen).
Placement centerPlacement(double mainLeft, double mainTop, double mainWidth, double mainHeight, double width,
                          double height, double screenWidth, double screenHeight);

} // namespace LIB_SYS
