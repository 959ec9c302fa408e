#pragma once

class QDBusConnection;

namespace tapsound {

// Whether a StatusNotifier host (a panel drawing tray icons from D-Bus) is there: the question Qt
// asks once, at the first tray icon, to choose between such an icon and an XEmbed one.
bool isStatusNotifierHostRegistered(const QDBusConnection& bus);

}  // namespace tapsound
