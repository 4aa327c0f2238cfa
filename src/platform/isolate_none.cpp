#include "platform/isolate.h"

// Layers over a folder need Linux's user and mount namespaces and overlayfs.

namespace platform {

struct Isolation::Plan
{
    IsolationFacts facts;
};

IsolationUnavailable isolationUnavailable()
{
#ifdef Q_OS_WIN
    return IsolationUnavailable::Windows;
#else
    return IsolationUnavailable::NotLinux;
#endif
}

IsolationFacts isolationFacts(const QString& dir)
{
    IsolationFacts facts;
    facts.unavailable = true;
    facts.given = dir;
    return facts;
}

Isolation::Isolation(const QString& dir, qint64, std::optional<qint64>)
    : d(std::make_unique<Plan>())
{
    d->facts = isolationFacts(dir);
}

Isolation::~Isolation() = default;

const IsolationFacts& Isolation::facts() const
{
    return d->facts;
}

QString Isolation::folder() const
{
    return {};
}

qint64 Isolation::bytesAvailable() const
{
    return 0;
}

IsolationFailure Isolation::lay()
{
    IsolationFailure failure;
    failure.step = IsolationStep::Unavailable;
    return failure;
}

int Isolation::join() const
{
    return 0;
}

IsolationFailure Isolation::joinFailure() const
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

KeptLayer Isolation::keep(const std::function<bool()>&) const
{
    KeptLayer kept;
    kept.problem = KeptLayer::Problem::NoLayer;
    return kept;
}

} // namespace platform
