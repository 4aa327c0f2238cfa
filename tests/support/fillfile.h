#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Checks a fill file on disk: the header text, then 255 everywhere else, and the length, which must
// be a whole number of 1024-byte blocks.
// Returns what is wrong, or an empty text.
QString checkFillFile(const QString& path, qint64 expectedSize);

// The file's length, or -1 when it does not exist.
qint64 fileSize(const QString& path);

// The file's bytes; empty when it cannot be read.
QByteArray readFile(const QString& path);

// Creates or replaces a file with the given bytes; false when that failed.
bool writeFile(const QString& path, const QByteArray& data);

// A setting as another program would read it from the settings file, or "<absent>".
QString storedSetting(const QString& iniFile, const QString& key);
