#pragma once

#include <QString>

namespace tapsound {

// The desktop entry that starts tapsound at login: $XDG_CONFIG_HOME/autostart/tapsound.desktop.
QString autostartFile();

// Whether that entry exists and is not switched off.
bool isStartingAtLogin();

// Writes the entry (starting the given program) or removes it; whether it now is as asked.
bool setStartAtLogin(bool start, const QString& program);

}  // namespace tapsound
