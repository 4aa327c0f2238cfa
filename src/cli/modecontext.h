#pragma once

#include "cli/options.h"
#include "cli/progress.h"
#include "cli/summary.h"
#include "core/hold.h"
#include "platform/filesystem.h"

#include <QString>

#include <chrono>
#include <cstdio>
#include <optional>

// What every mode of tallowmere-fill is given: the options, the stop signals, where it prints.
namespace cli {

struct Context
{
    const Options& options;
    fill::SignalState& stopSignals;
    std::FILE* out;
    std::FILE* err;
    std::optional<Progress> progress;

    void say(const QString& text) const { print(err, QStringLiteral("tallowmere-fill: ") + text + u'\n'); }
    int finish(const Summary& summary) const
    {
        if (options.json) {
            return printJson(out, err, summary);
        }
        print(err, summary.toLine());
        return summary.code;
    }
};

// The volume a fill lands on.
struct Volume
{
    QString drive;
    QString dir;
    bool known = false; // false: where the data lands cannot be told

    std::optional<platform::VolumeSpace> space() const
    {
        return known ? platform::volumeSpace(drive, dir) : std::nullopt;
    }
    void settle() const { platform::settleVolume(drive, dir); }
};

double secondsSince(std::chrono::steady_clock::time_point start);
std::optional<Progress::Style> progressStyle(const Options& options, bool stderrIsTerminal);
QString fileSystemOf(const QString& dir);

} // namespace cli
