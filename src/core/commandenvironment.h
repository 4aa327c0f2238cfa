#pragma once

#include <QProcessEnvironment>
#include <QString>

#include <optional>

// What a command run under a fill is told of it, through its environment.
namespace fill {

struct FillFacts
{
    QString file; // the fill file, the fill folder, or the isolated folder; absolute
    qint64 bytes = 0;
    qint64 available = -1;
    std::optional<qint64> inodes; // with a fill of inodes: the files it made
    std::optional<qint64> availableInodes;
    bool isolated = false;
};

// The variables the command gets on top of the filler's own environment.
QProcessEnvironment commandEnvironment(const FillFacts& facts);

} // namespace fill
