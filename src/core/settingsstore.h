#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <utility>

class QSettings;

namespace platform {

// Why the settings could not be read or saved, as a code and the path it concerns; the window words it.
struct SettingsProblem
{
    enum class Kind {
        None,
        NotARegularFile, // the store is there but is no regular file: neither read nor saved
        BadFormat, // the file is not in the form of a settings file
        NoFile, // the store has no file name
        FileRefused, // the file cannot be opened: detail is the system's reason
        NoFolder, // the folder to hold it is missing and cannot be made
        NotAFolder,
        FolderNotWritable,
        VolumeFull,
        AccessDenied,
    };
    Kind kind = Kind::None;
    QString path; // the file, or the folder that should hold it
    QString detail; // with FileRefused: the system's reason

    explicit operator bool() const { return kind != Kind::None; }
};

// The per-user store of the program's settings: application and section are both the product name.
class SettingsStore
{
public:
    // The user's own store (an INI file under the user's configuration folder on Linux, the registry on Windows).
    SettingsStore();
    // A store in the given INI file, for tests and isolated runs.
    explicit SettingsStore(const QString& iniFile);
    ~SettingsStore();

    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    QString read(const QString& key, const QString& defaultValue) const;
    // Why the store could not be read when it was opened; none when it was read (or did not exist yet).
    SettingsProblem readError() const { return m_readError; }
    // Writes the entries in order and flushes them. Returns why that failed, or none.
    SettingsProblem write(const QList<std::pair<QString, QString>>& entries);

    QString location() const;

private:
    // files: those the store would read; when one is there but is no regular file, nothing is opened.
    SettingsStore(std::function<std::unique_ptr<QSettings>()> open, const QStringList& files);
    SettingsProblem describeError() const;
    // Puts the given raw lines of the INI file back in place of the lines of their keys.
    void restoreLines(const QList<QByteArray>& lines);

    std::function<std::unique_ptr<QSettings>()> m_open;
    std::unique_ptr<QSettings> m_settings; // none when the store is not to be opened
    QString m_location;
    SettingsProblem m_readError;
};

} // namespace platform
