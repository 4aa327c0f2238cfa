#include "ui/settingsproblemtext.h"

#include "platform/outputfile.h"

#include <system_error>

namespace ui {

QString settingsProblemText(const platform::SettingsProblem& problem)
{
    using Kind = platform::SettingsProblem::Kind;
    switch (problem.kind) {
    case Kind::None:
        break;
    case Kind::NotARegularFile:
        return QStringLiteral("%1: not a regular file; the settings are neither read nor saved").arg(problem.path);
    case Kind::BadFormat:
        return QStringLiteral("%1: 設定ファイルの形式が正しくありません。").arg(problem.path);
    case Kind::NoFile:
        return QStringLiteral("Access denied");
    case Kind::FileRefused:
        return QStringLiteral("%1: %2").arg(problem.path, problem.detail);
    case Kind::NoFolder:
        return QStringLiteral("%1: cannot create the folder").arg(problem.path);
    case Kind::NotAFolder:
        return QStringLiteral("%1: not a folder").arg(problem.path);
    case Kind::FolderNotWritable:
        return QStringLiteral("%1: permission denied").arg(problem.path);
    case Kind::VolumeFull:
        return QStringLiteral("%1: %2").arg(problem.path,
                                            platform::errorText(std::make_error_code(std::errc::no_space_on_device)));
    case Kind::AccessDenied:
        return QStringLiteral("%1: access denied").arg(problem.path);
    }
    return {};
}

} // namespace ui
