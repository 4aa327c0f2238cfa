#pragma once

#include "core/sizetext.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

// The fill format, the one place it is written: what a fill writes, and how a later clean-up tells
// a fill from anybody else's file by what it reads back.

namespace fill {

// "Maked By " + product name + " major.minor.revision", the start of every fill file.
QByteArray headerText();
// The first block of every fill file, exactly: the header text, then bytes of 255 to blockSize.
QByteArray headerBlock();

// The file in a folder of inodes that tells a later clean-up what the folder is; it holds the
// header text exactly.
inline constexpr char markerName[] = ".tallowmere-fill";
inline QByteArray markerText()
{
    return headerText();
}

// What a file or a marker read back says about it.
enum class Recognised {
    Fill,
    NotWholeBlocks, // shorter than the header block, or not a whole number of blocks
    NoHeader, // does not begin with the header block exactly
    NotFillData, // a sampled block is not as a fill writes it
    NotTheMarker, // a marker that is not the marker text alone in a file of its own
};

// The blocks after the header that tell a fill (their indexes, in the order to read them): the
// first, the last and some between.
QList<qint64> sampledBlocks(qint64 size);
// A file of size bytes that begins with head (its first bytes, at least a block when it has them).
Recognised recogniseStart(qint64 size, QByteArrayView head);
// The same, and blocks: those sampledBlocks(size) names, in its order.
Recognised recogniseFile(qint64 size, QByteArrayView head, const QList<QByteArray>& blocks);
// A folder's marker file: its size, its number of links and what it holds.
Recognised recogniseMarker(qint64 size, quint64 links, QByteArrayView content);
// The names of the files a fill of inodes makes: 1, 2, 3, ... without leading zeros.
bool isInodeFileName(QByteArrayView name);

} // namespace fill
