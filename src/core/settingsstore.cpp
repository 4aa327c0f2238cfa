#include "core/settingsstore.h"

#include "platform/outputfile.h"
#include "productinfo.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QStringList>

#include <filesystem>
#include <optional>

namespace platform {

namespace {

// Less room than this on the settings' volume counts as full: a settings file is a few hundred bytes.
constexpr qint64 minimumRoom = 64 * 1024;

QString productName()
{
    return QString::fromUtf8(ProductInfo::productName);
}

// Where a key's line sits in an INI file's bytes: its start and its end (before the line break),
// or nothing when the product's section does not hold the key.
std::optional<std::pair<qsizetype, qsizetype>> iniLine(const QByteArray& ini, const QString& key)
{
    const QByteArray section = '[' + productName().toUtf8() + ']';
    bool inSection = false;
    for (qsizetype start = 0; start < ini.size();) {
        qsizetype end = ini.indexOf('\n', start);
        if (end < 0) {
            end = ini.size();
        }
        const QByteArray line = ini.mid(start, end - start).trimmed();
        if (line.startsWith('[')) {
            inSection = line == section;
        } else if (const qsizetype equals = line.indexOf('='); inSection && equals > 0) {
            if (line.left(equals).trimmed() == key.toUtf8()) {
                return std::pair(start, end);
            }
        }
        start = end + 1;
    }
    return std::nullopt;
}

QByteArray readBytes(const QString& fileName)
{
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The files QSettings reads for the user's store, its fallbacks included; none where it keeps the
// settings elsewhere (the registry).
QStringList nativeFiles()
{
    QStringList files;
#ifndef Q_OS_WIN
    for (const QString& folder : QStandardPaths::standardLocations(QStandardPaths::GenericConfigLocation)) {
        files << folder + u'/' + productName() + u'/' + productName() + QStringLiteral(".conf")
              << folder + u'/' + productName() + QStringLiteral(".conf");
    }
#endif
    return files;
}

// The first of files that is there but is no regular file: a pipe would hold the program in open()
// and a device would read without end, so such a store is never opened.
QString firstThatIsNoFile(const QStringList& files)
{
    for (const QString& file : files) {
        std::error_code error;
        const auto status = std::filesystem::status(QFile::encodeName(file).constData(), error);
        if (!error && status.type() != std::filesystem::file_type::not_found
            && status.type() != std::filesystem::file_type::regular) {
            return file;
        }
    }
    return {};
}

} // namespace

SettingsStore::SettingsStore()
    : SettingsStore([] { return std::make_unique<QSettings>(QSettings::UserScope, productName(), productName()); },
                    nativeFiles())
{
}

SettingsStore::SettingsStore(const QString& iniFile)
    : SettingsStore([iniFile] { return std::make_unique<QSettings>(iniFile, QSettings::IniFormat); }, { iniFile })
{
}

SettingsStore::SettingsStore(std::function<std::unique_ptr<QSettings>()> open, const QStringList& files)
    : m_open(std::move(open))
{
    if (const QString file = firstThatIsNoFile(files); !file.isEmpty()) {
        m_location = file;
        m_readError = { SettingsProblem::Kind::NotARegularFile, file, {} };
        return;
    }
    m_settings = m_open();
    m_location = m_settings->fileName();
    if (m_settings->status() != QSettings::NoError) {
        m_readError = describeError();
    }
}

SettingsStore::~SettingsStore() = default;

QString SettingsStore::location() const
{
    return m_location;
}

QString SettingsStore::read(const QString& key, const QString& defaultValue) const
{
    if (!m_settings) {
        return defaultValue;
    }
    const QVariant value = m_settings->value(productName() + QLatin1Char('/') + key);
    if (!value.isValid()) {
        return defaultValue;
    }
    // A hand-edited INI value with unquoted commas comes back as a list; keep its text.
    if (value.userType() == QMetaType::QStringList) {
        return value.toStringList().join(QLatin1String(", "));
    }
    return value.toString();
}

SettingsProblem SettingsStore::write(const QList<std::pair<QString, QString>>& entries)
{
    // Open the store afresh: QSettings keeps the first error it met, and a failed write must not
    // stain the next one. Reading anew also takes in what another copy of the program wrote since.
    // Only what differs is written: unchanged settings need no space on a volume just filled.
    if (!m_settings) {
        return {}; // said when the store was opened: it is left as it is
    }
    m_settings = m_open();
    // A stored value that is not UTF-8 (a path in another encoding, say) reads with U+FFFD in it,
    // and Qt would write it back so, with every other change: another path would be stored. Such
    // a value the user did not change keeps its own bytes.
    const QByteArray storedBytes = readBytes(m_settings->fileName());
    QList<QByteArray> keptLines;
    for (const auto& [key, text] : entries) {
        const QString fullKey = productName() + QLatin1Char('/') + key;
        const QVariant stored = m_settings->value(fullKey);
        if (!stored.isValid() || stored.userType() != QMetaType::QString || stored.toString() != text) {
            m_settings->setValue(fullKey, text);
        } else if (const auto line = iniLine(storedBytes, key)) {
            const QByteArray bytes = storedBytes.mid(line->first, line->second - line->first);
            if (QString::fromUtf8(bytes).toUtf8() != bytes) {
                keptLines.append(bytes);
            }
        }
    }
    // Always flush: changes an earlier write could not save are still pending in Qt's shared copy of
    // the file, and look stored already. With nothing pending this writes nothing.
    const auto stamp = [this] {
        const QFileInfo file(m_settings->fileName());
        return std::pair(file.size(), file.lastModified());
    };
    const auto before = stamp();
    m_settings->sync();
    const QSettings::Status status = m_settings->status();
    if (!keptLines.isEmpty() && stamp() != before) {
        restoreLines(keptLines);
    }
    // A format error is what Qt met reading the old, damaged file; the file it then wrote replaces it.
    if (status == QSettings::FormatError && stamp() != before) {
        return {};
    }
    if (status != QSettings::NoError) {
        return describeError();
    }
    return {};
}

void SettingsStore::restoreLines(const QList<QByteArray>& lines)
{
    QByteArray ini = readBytes(m_settings->fileName());
    bool changed = false;
    for (const QByteArray& kept : lines) {
        const QString key = QString::fromUtf8(kept.left(kept.indexOf('=')).trimmed());
        if (const auto line = iniLine(ini, key)) {
            ini.replace(line->first, line->second - line->first, kept);
            changed = true;
        }
    }
    QSaveFile file(m_settings->fileName());
    if (changed && file.open(QIODevice::WriteOnly) && file.write(ini) == ini.size()) {
        file.commit();
    }
}

SettingsProblem SettingsStore::describeError() const
{
    using Kind = SettingsProblem::Kind;
    if (m_settings->status() == QSettings::FormatError) {
        return { Kind::BadFormat, m_settings->fileName(), {} };
    }
    // QSettings does not say why; ask the file itself, or the folder that should hold it.
    const QString fileName = m_settings->fileName();
    if (fileName.isEmpty()) {
        return { Kind::NoFile, {}, {} };
    }
    QFile file(fileName);
    if (file.exists() && !file.open(QIODevice::ReadWrite)) {
        return { Kind::FileRefused, fileName, file.errorString() };
    }
    const QFileInfo folder(QFileInfo(fileName).absolutePath());
    if (!folder.exists()) {
        return { Kind::NoFolder, folder.filePath(), {} };
    }
    if (!folder.isDir()) {
        return { Kind::NotAFolder, folder.filePath(), {} };
    }
    if (!folder.isWritable()) {
        return { Kind::FolderNotWritable, folder.filePath(), {} };
    }
    // Saving writes a new copy of the file beside the old one: a full volume refuses it.
    const QStorageInfo volume(folder.filePath());
    if (volume.isValid() && volume.bytesAvailable() < minimumRoom) {
        return { Kind::VolumeFull, fileName, {} };
    }
    return { Kind::AccessDenied, fileName, {} };
}

} // namespace platform
