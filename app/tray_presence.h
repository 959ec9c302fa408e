#pragma once

#include <QPoint>
#include <QRect>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QDBusConnection;

namespace tapsound {

inline constexpr const char* kStatusNotifierWatcher = "org.kde.StatusNotifierWatcher";

// Whether a StatusNotifier host (a panel drawing tray icons from D-Bus) is there: the question Qt
// asks once, at the first tray icon, to choose between such an icon and an XEmbed one. Nothing
// when a watcher is there but does not answer in time.
std::optional<bool> isStatusNotifierHostRegistered(const QDBusConnection& bus);

// The top-level window at a point of the screen, as the X server stacks them: the panel under an
// icon it draws. Null where there is none, or no X11.
QRect windowAt(QPoint point);

// Whether some tray shows icons, told as it changes.
class TrayHosts {
  public:
    virtual ~TrayHosts() = default;
    // Nothing while that is not known yet: at login a panel may start after us.
    virtual std::optional<bool> present() const = 0;
    // Whether that tray draws icons from D-Bus, else it is an XEmbed one; told as it changes.
    virtual bool drawsFromDBus() const { return false; }
    std::function<void()> changed;
};

// A StatusNotifier host on the session bus, or on X11 an XEmbed tray (the owner of the system
// tray selection). Woken only by their comings and goings; a tray gone for the grace period
// (a panel restarting is back within it) counts as absent.
std::unique_ptr<TrayHosts> desktopTrayHosts(std::chrono::milliseconds grace);

}  // namespace tapsound
