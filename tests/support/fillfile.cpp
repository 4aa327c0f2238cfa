#include "fillfile.h"

#include "core/fillengine.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <algorithm>
#include <cstring>
#include <vector>

QString checkFillFile(const QString& path, qint64 expectedSize)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return QStringLiteral("cannot open %1: %2").arg(path, file.errorString());
    }
    if (file.size() != expectedSize) {
        return QStringLiteral("%1 is %2 bytes, expected %3").arg(path).arg(file.size()).arg(expectedSize);
    }
    // Callers often pass the file's own size: the format's whole blocks are checked here either way.
    if (file.size() < 1024 || file.size() % 1024 != 0) {
        return QStringLiteral("%1 is %2 bytes, not a whole number of 1024-byte blocks").arg(path).arg(file.size());
    }
    static const QByteArray header = fill::headerText();
    const std::vector<char> fill(1 << 20, static_cast<char>(0xFF));
    std::vector<char> buffer(fill.size());
    qint64 offset = 0;
    for (;;) {
        const qint64 n = file.read(buffer.data(), static_cast<qint64>(buffer.size()));
        if (n < 0) {
            return QStringLiteral("read error in %1").arg(path);
        }
        if (n == 0) {
            break;
        }
        qint64 from = 0;
        if (offset < header.size()) {
            from = std::min<qint64>(n, header.size() - offset);
            if (QByteArray(buffer.data(), static_cast<int>(from))
                != header.mid(static_cast<int>(offset), static_cast<int>(from))) {
                return QStringLiteral("%1: the header text is %2")
                    .arg(path, QString::fromLatin1(buffer.data(), static_cast<int>(from)));
            }
        }
        if (std::memcmp(buffer.data() + from, fill.data(), static_cast<size_t>(n - from)) != 0) {
            for (qint64 i = from; i < n; ++i) {
                if (buffer[static_cast<size_t>(i)] != fill[0]) {
                    return QStringLiteral("%1: byte %2 is %3, not 255")
                        .arg(path)
                        .arg(offset + i)
                        .arg(static_cast<unsigned char>(buffer[static_cast<size_t>(i)]));
                }
            }
        }
        offset += n;
    }
    return {};
}

qint64 fileSize(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() ? info.size() : -1;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QString storedSetting(const QString& iniFile, const QString& key)
{
    QSettings settings(iniFile, QSettings::IniFormat);
    const QVariant value = settings.value(QStringLiteral("Tallowmere/") + key);
    return value.isValid() ? value.toString() : QStringLiteral("<absent>");
}
