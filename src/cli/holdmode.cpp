#include "cli/holdmode.h"

#include "cli/summary.h"

namespace cli {

QString settleCommandStart(fill::HoldResult& held, const QString& program)
{
    switch (held.start) {
    case fill::CommandStart::Started:
        return {};
    case fill::CommandStart::NotFound:
        held.commandCode = ExitNotFound;
        return program.contains(u'/') ? QStringLiteral("%1: no such file").arg(program)
                                      : QStringLiteral("%1: command not found").arg(program);
    case fill::CommandStart::NotExecutable:
        held.commandCode = ExitCannotExecute;
        return QStringLiteral("%1: not an executable file").arg(program);
    case fill::CommandStart::Failed:
        held.commandCode = held.startError == std::errc::no_such_file_or_directory ? ExitNotFound : ExitCannotExecute;
        return QStringLiteral("%1: %2").arg(program, platform::errorText(held.startError));
    case fill::CommandStart::Interrupted:
        held.commandCode = exitCodeForSignal(held.signal);
        return {};
    }
    return {};
}

} // namespace cli
