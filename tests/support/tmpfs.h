#pragma once

#include <QString>
#include <QtGlobal>

// A tmpfs of a chosen size, mounted for one test and unmounted when it goes out of scope.
class Tmpfs
{
public:
    explicit Tmpfs(qint64 bytes, const QString& extraOptions = QString());
    ~Tmpfs();
    Tmpfs(const Tmpfs&) = delete;
    Tmpfs& operator=(const Tmpfs&) = delete;

    bool isMounted() const { return m_mounted; }
    QString error() const { return m_error; }
    QString path() const { return m_path; }
    QString filePath(const QString& name) const { return m_path + QLatin1Char('/') + name; }

    // Bytes available to an ordinary user, as statvfs tells.
    qint64 available() const;
    bool remountReadOnly();

    static bool canMount();

private:
    QString m_path;
    QString m_error;
    bool m_mounted = false;
};

// Skips the test when tmpfs cannot be mounted (not root), fails it when mounting should work but did not.
#define TMPFS(var, bytes)                                                                                              \
    if (!Tmpfs::canMount())                                                                                            \
        QSKIP("mounting a tmpfs needs root");                                                                          \
    Tmpfs var(bytes);                                                                                                  \
    if (!var.isMounted())                                                                                              \
        QFAIL(qPrintable(var.error()));
