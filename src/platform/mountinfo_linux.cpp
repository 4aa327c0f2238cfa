#include "platform/mountinfo_linux.h"

#include <QFile>

#include <algorithm>

namespace platform::isolation {

QList<QByteArray> mountsBelow(const QByteArray& folder)
{
    QFile mountInfo(QStringLiteral("/proc/self/mountinfo"));
    QList<QByteArray> found;
    if (!mountInfo.open(QIODevice::ReadOnly)) {
        return found;
    }
    const QByteArray prefix = folder + '/';
    for (const QByteArray& line : mountInfo.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 5) {
            continue;
        }
        // Blanks, tabs, new lines and backslashes in the mount point are written as \ooo.
        QByteArray point;
        const QByteArray& written = fields[4];
        for (qsizetype i = 0; i < written.size(); ++i) {
            if (written[i] == '\\' && i + 3 < written.size()) {
                bool ok = false;
                const int code = written.mid(i + 1, 3).toInt(&ok, 8);
                if (ok) {
                    point += static_cast<char>(code);
                    i += 3;
                    continue;
                }
            }
            point += written[i];
        }
        if (point.startsWith(prefix) && !found.contains(point)) {
            found.append(point);
        }
    }
    std::sort(found.begin(), found.end(), [](const QByteArray& a, const QByteArray& b) {
        return a.count('/') < b.count('/') || (a.count('/') == b.count('/') && a < b);
    });
    return found;
}

} // namespace platform::isolation
