#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <system_error>

namespace fill {

struct CleanRequest
{
    QString dir;
    bool recursive = false; // also in its folders on the same volume
    bool folders = false; // also the folders a fill of inodes made
    bool dryRun = false; // check, take nothing away
};

// A fill file or folder that a run left behind, and what became of it.
struct CleanedFill
{
    QByteArray path; // as the system has it: not always text
    bool folder = false;
    // Empty: removed (in a dry run: it would be). FileError::InUse: a running fill holds it, so it was
    // left alone. FileError::Moved: another file took its name while it was being removed; that file
    // is left as it was. std::errc::interrupted: a folder the stop request left partly emptied.
    std::error_code error;
    QByteArray leftAt; // where a file that took the name meanwhile now is, when it could not be given it back
};

struct CleanHooks
{
    // Asked before each file: true ends the clean-up there.
    std::function<bool()> stopRequested;
    // Told each fill once it is checked, right before it is taken away.
    std::function<void(const QString& path)> checked;
};

// Removes what fills left in request.dir, never following a symbolic link, nor leaving its volume.
// A fill is what fillformat.h recognises: a regular file as a fill writes it, or a folder with the
// marker file and nothing but empty files with numbers for names. A fill that a running fill holds
// is left alone. Each is checked, then removed only if its name still leads to the file checked, so
// that another file put at its name meanwhile is never removed. report is told each fill found.
// Returns why dir, or a folder in it, could not be read; failedAt: that folder's path, empty when it
// is dir itself.
std::error_code cleanFills(const CleanRequest& request, const CleanHooks& hooks,
                           const std::function<void(const CleanedFill&)>& report, QByteArray* failedAt = nullptr);

} // namespace fill
