#pragma once

#include <QString>
#include <QStringList>

namespace tapsound {

// A file or folder installed with tapsound (below share/tapsound), or empty when there is none:
// looked for beside the binary first, so that --prefix and DESTDIR installs find their own, then
// in the XDG data folders; a binary run from its build folder uses the build and source trees.
QString installedFile(const QString& relative);
// Every such file or folder, in that order.
QStringList installedFiles(const QString& relative);

// The user's configuration folder ($XDG_CONFIG_HOME or ~/.config); empty when neither HOME nor
// XDG_CONFIG_HOME is set, and nothing can be stored.
QString userConfigFolder();

// Where the user's settings live; empty when they cannot be stored.
QString settingsFile();

// Where the user's own sound sets live (not created: tapsound writes only its settings).
QString userSetsFolder();

}  // namespace tapsound
