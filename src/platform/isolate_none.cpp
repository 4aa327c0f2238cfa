#include "platform/isolate.h"

// Layers over a folder need Linux's user and mount namespaces and overlayfs.

namespace platform {

struct Isolation::Plan
{
};

QString isolationUnavailable()
{
#ifdef Q_OS_WIN
    return QStringLiteral("--isolate is not available on Windows: it needs Linux's user and mount namespaces; "
                          "fill the volume for real instead");
#else
    return QStringLiteral("--isolate is not available on this system: it needs Linux's user and mount namespaces; "
                          "fill the volume for real instead");
#endif
}

Isolation::Isolation(const QString&, qint64, std::optional<qint64>) { }

Isolation::~Isolation() = default;

QString Isolation::error() const
{
    return isolationUnavailable();
}

QString Isolation::warning() const
{
    return {};
}

QString Isolation::folder() const
{
    return {};
}

qint64 Isolation::bytesAvailable() const
{
    return 0;
}

QString Isolation::lay()
{
    return isolationUnavailable();
}

int Isolation::join() const
{
    return 0;
}

QString Isolation::joinFailure() const
{
    return {};
}

bool Isolation::commandEnded() const
{
    return false;
}

Leftovers Isolation::leftovers() const
{
    return {};
}

LayerUse Isolation::use() const
{
    return {};
}

QString Isolation::keep(QString* why, const std::function<bool()>&) const
{
    *why = isolationUnavailable();
    return {};
}

} // namespace platform
