#include "platform/process.h"

#include <QFileInfo>
#include <QStandardPaths>

namespace platform {

std::error_code findCommand(const QString& program, QString* path)
{
    if (program.contains(u'/')) {
        const QFileInfo info(program);
        if (!info.exists()) {
            return std::make_error_code(std::errc::no_such_file_or_directory);
        }
        if (info.isDir() || !info.isExecutable()) {
            return std::make_error_code(std::errc::permission_denied);
        }
        *path = program;
        return {};
    }
    *path = QStandardPaths::findExecutable(program);
    return path->isEmpty() ? std::make_error_code(std::errc::no_such_file_or_directory) : std::error_code();
}

} // namespace platform
