#pragma once

#include "core/settingsstore.h"

#include <QTemporaryDir>

// A settings store in a temporary folder of its own, gone with the test: for tests that need a
// settings file but no volume of their own.
struct TemporarySettings
{
    QTemporaryDir folder;
    QString ini = folder.filePath(QStringLiteral("settings.ini"));
    platform::SettingsStore store { ini };
};
