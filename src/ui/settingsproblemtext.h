#pragma once

#include "core/settingsstore.h"

#include <QString>

namespace ui {

// Why the settings could not be read or saved, in the words the message box gives.
QString settingsProblemText(const platform::SettingsProblem& problem);

} // namespace ui
