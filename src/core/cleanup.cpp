#include "core/cleanup.h"

#include "core/fillformat.h"
#include "platform/directory.h"
#include "platform/outputfile.h"

#include <QFile>

namespace fill {

namespace {

using platform::Directory;
using platform::EntryFile;
using platform::EntryInfo;
using platform::EntryType;

// The longest path the walk goes down to: deeper, a fill could not be named, and the walk would
// only run out of descriptors or stack.
constexpr qsizetype longestPath = 4096;

class Cleaner
{
public:
    Cleaner(const CleanRequest& request, const CleanHooks& hooks, const std::function<void(const CleanedFill&)>& report)
        : m_request(request)
        , m_hooks(hooks)
        , m_report(report)
        , m_header(headerBlock())
    {
    }

    // failedAt: the folder that error names.
    std::error_code run(QByteArray* failedAt)
    {
        const QByteArray name = QFile::encodeName(m_request.dir);
        if (name.isEmpty() || name.contains('\0')) {
            return std::make_error_code(std::errc::invalid_argument);
        }
        Directory dir;
        EntryInfo st;
        if (auto error = dir.open(name); error || (error = dir.info(&st))) {
            return error;
        }
        m_volume = st.id.volume;
        // The folder named may itself be one a fill of inodes made: it goes through its parent.
        QByteArray parentName;
        QByteArray base;
        Directory parent;
        if (m_request.folders && isFillFolder(dir) && Directory::splitRealPath(name, &parentName, &base)
            && !parent.open(parentName)) {
            cleanFolder(parent, base, dir, st, name);
        } else {
            scan(dir, name);
        }
        *failedAt = m_failedAt;
        return m_error;
    }

private:
    bool stopped()
    {
        m_stopped = m_stopped || (m_hooks.stopRequested && m_hooks.stopRequested());
        return m_stopped;
    }

    // The first folder the walk could not go into is the one named: where it stopped.
    void fail(std::error_code error, const QByteArray& path)
    {
        if (!m_error) {
            m_error = error;
            m_failedAt = path;
        }
    }

    void report(const QByteArray& path, bool folder, std::error_code error = {}, const QByteArray& leftAt = {})
    {
        m_report({ path, folder, error, leftAt });
    }

    void scan(Directory& dir, const QByteArray& path)
    {
        const QByteArray prefix = path.endsWith('/') ? path : path + '/';
        const auto error = dir.list([&](const QByteArray& name, const EntryInfo& st) {
            if (stopped()) {
                return false;
            }
            // Another volume mounted here: find -xdev does not go there either.
            if (st.id.volume != m_volume) {
                return true;
            }
            const QByteArray full = prefix + name;
            // Its size first, from the listing: the header is read only from a file of whole blocks.
            if (st.type == EntryType::File && recogniseStart(st.size, m_header) == Recognised::Fill) {
                cleanFile(dir, name, full);
            } else if (st.type == EntryType::Folder && (m_request.folders || m_request.recursive)) {
                enter(dir, name, st, full);
            }
            return true;
        });
        if (error) {
            fail(error, path);
        }
    }

    void enter(Directory& dir, const QByteArray& name, const EntryInfo& st, const QByteArray& full)
    {
        Directory sub;
        if (const auto error = sub.open(dir, name, st.id)) {
            if (error != make_error_code(platform::FileError::Moved)) {
                fail(error, full);
            }
            return;
        }
        if (m_request.folders && isFillFolder(sub)) {
            cleanFolder(dir, name, sub, st, full);
        } else if (m_request.recursive && full.size() < longestPath) {
            scan(sub, full);
        } else if (m_request.recursive) {
            // Deeper than a path can name, its fills could not be told; the walk stops there rather
            // than run out of stack.
            fail(std::make_error_code(std::errc::filename_too_long), full);
        }
    }

    void cleanFile(Directory& dir, const QByteArray& name, const QByteArray& path)
    {
        EntryFile file;
        EntryInfo st;
        QByteArray head(m_header.size(), '\0');
        if (file.open(dir, name) || file.info(&st) || st.type != EntryType::File || st.id.volume != m_volume
            || !file.read(0, head.data(), head.size()) || head != m_header) {
            return;
        }
        // A running fill holds its file locked; while it writes, its length may be between blocks.
        if (file.heldByAFill()) {
            report(path, false, make_error_code(platform::FileError::InUse));
            return;
        }
        if (file.info(&st)) {
            return;
        }
        QList<QByteArray> blocks;
        for (const qint64 index : sampledBlocks(st.size)) {
            QByteArray block(blockSize, '\0');
            if (!file.read(index * blockSize, block.data(), blockSize)) {
                return;
            }
            blocks.append(block);
        }
        if (recogniseFile(st.size, head, blocks) != Recognised::Fill) {
            return;
        }
        if (m_request.dryRun) {
            report(path, false);
        } else {
            take(dir, name, st, path, false);
        }
    }

    // The marker holds the marker text exactly, and is a regular file of its own.
    static bool isFillFolder(const Directory& folder)
    {
        EntryFile marker;
        EntryInfo st;
        if (marker.open(folder, markerName) || marker.info(&st) || st.type != EntryType::File) {
            return false;
        }
        QByteArray content(markerText().size(), '\0');
        return marker.read(0, content.data(), content.size())
            && recogniseMarker(st.size, st.links, content) == Recognised::Fill;
    }

    // Calls each for every entry of the folder but the marker; false when one is not what a fill of
    // inodes makes (an empty regular file with a number for a name), or each says stop.
    static bool forEachFile(const Directory& folder,
                            const std::function<bool(const QByteArray& name, const EntryInfo& st)>& each)
    {
        bool all = true;
        const auto error = folder.list([&](const QByteArray& name, const EntryInfo& st) {
            if (name == markerName) {
                return true;
            }
            all = isInodeFileName(name) && st.type == EntryType::File && st.size == 0 && each(name, st);
            return all;
        });
        return all && !error;
    }

    void cleanFolder(Directory& parent, const QByteArray& name, Directory& folder, const EntryInfo& st,
                     const QByteArray& path)
    {
        if (folder.heldByAFill()) {
            report(path, true, make_error_code(platform::FileError::InUse));
            return;
        }
        // Anything else in it, and it is somebody's folder: nothing in it is taken.
        if (!forEachFile(folder, [](const QByteArray&, const EntryInfo&) { return true; })) {
            return;
        }
        if (m_request.dryRun) {
            report(path, true);
            return;
        }
        if (m_hooks.checked) {
            m_hooks.checked(QFile::decodeName(path));
        }
        std::error_code error;
        const bool emptied = forEachFile(folder, [&](const QByteArray& file, const EntryInfo& fileStat) {
            if (stopped()) {
                error = std::make_error_code(std::errc::interrupted);
                return false;
            }
            QByteArray leftAt;
            if (const auto why = folder.removeChecked(file, fileStat.id, false, &leftAt); why && !error) {
                error = why;
            }
            return true;
        });
        EntryInfo marker;
        if (emptied && !error && !folder.entry(markerName, &marker)) {
            QByteArray leftAt;
            error = folder.removeChecked(markerName, marker.id, false, &leftAt);
        }
        // Windows removes no folder that is open.
        folder.close();
        if (!error) {
            take(parent, name, st, path, true);
            return;
        }
        report(path, true, error);
    }

    void take(Directory& dir, const QByteArray& name, const EntryInfo& st, const QByteArray& path, bool folder)
    {
        if (!folder && m_hooks.checked) {
            m_hooks.checked(QFile::decodeName(path));
        }
        QByteArray leftAt;
        const std::error_code error = dir.removeChecked(name, st.id, folder, &leftAt);
        report(path, folder, error, leftAt.isEmpty() ? QByteArray() : path.left(path.lastIndexOf('/') + 1) + leftAt);
    }

    const CleanRequest& m_request;
    const CleanHooks& m_hooks;
    const std::function<void(const CleanedFill&)>& m_report;
    const QByteArray m_header;
    quint64 m_volume = 0;
    std::error_code m_error;
    QByteArray m_failedAt;
    bool m_stopped = false;
};

} // namespace

std::error_code cleanFills(const CleanRequest& request, const CleanHooks& hooks,
                           const std::function<void(const CleanedFill&)>& report, QByteArray* failedAt)
{
    QByteArray where;
    const std::error_code error = Cleaner(request, hooks, report).run(&where);
    if (failedAt) {
        *failedAt = where;
    }
    return error;
}

} // namespace fill
