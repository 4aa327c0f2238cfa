#pragma once

#include <QString>
#include <QtGlobal>

// Checks a fill file on disk: the header text, then 255 everywhere else, and the length.
// Returns what is wrong, or an empty text.
QString checkFillFile(const QString& path, qint64 expectedSize);

// The file's length, or -1 when it does not exist.
qint64 fileSize(const QString& path);
