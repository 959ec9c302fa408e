#include "app/tray_presence.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdlib>

// Last: Xlib's macros clash with Qt's headers.
#include <X11/Xlib.h>

namespace tapsound {

namespace {

const char* const kWatcherService = kStatusNotifierWatcher;
const char* const kWatcherPath = "/StatusNotifierWatcher";
constexpr int kReplyTimeoutMs = 2000;

int ignoreXError(Display*, XErrorEvent*) { return 0; }

// The XEmbed tray of the default screen: whether the selection has an owner, told as the tray
// announces itself (MANAGER on the root window) or its window goes.
class XEmbedTray {
  public:
    explicit XEmbedTray(std::function<void()> changed) : _changed(std::move(changed)) {
        const char* name = std::getenv("DISPLAY");
        if (!name || !*name || !(_display = XOpenDisplay(name))) return;
        const int screen = DefaultScreen(_display);
        _root = RootWindow(_display, screen);
        _selection =
            XInternAtom(_display, ("_NET_SYSTEM_TRAY_S" + std::to_string(screen)).c_str(), False);
        _manager = XInternAtom(_display, "MANAGER", False);
        XSelectInput(_display, _root, StructureNotifyMask);
        watchOwner();
        _notifier =
            std::make_unique<QSocketNotifier>(ConnectionNumber(_display), QSocketNotifier::Read);
        QObject::connect(_notifier.get(), &QSocketNotifier::activated, _notifier.get(),
                         [this] { readEvents(); });
    }
    ~XEmbedTray() {
        _notifier.reset();
        if (_display) XCloseDisplay(_display);
    }
    bool present() const { return _owner != 0; }

  private:
    void watchOwner() {
        XGrabServer(_display);  // the owner cannot go between asking and watching
        _owner = XGetSelectionOwner(_display, _selection);
        if (_owner) {
            // An owner gone meanwhile is only an error to ignore, not the end of the program.
            auto* previous = XSetErrorHandler(ignoreXError);
            XSelectInput(_display, _owner, StructureNotifyMask);
            XSync(_display, False);
            XSetErrorHandler(previous);
        }
        XUngrabServer(_display);
        XFlush(_display);
    }
    void readEvents() {
        bool changed = false;
        while (XPending(_display)) {
            XEvent event;
            XNextEvent(_display, &event);
            changed = changed ||
                      (event.type == ClientMessage && event.xclient.message_type == _manager &&
                       static_cast<Atom>(event.xclient.data.l[1]) == _selection) ||
                      (event.type == DestroyNotify && event.xdestroywindow.window == _owner);
        }
        if (!changed) return;
        watchOwner();
        _changed();
    }

    std::function<void()> _changed;
    Display* _display = nullptr;
    Window _root = 0, _owner = 0;
    Atom _selection = 0, _manager = 0;
    std::unique_ptr<QSocketNotifier> _notifier;
};

class DesktopTrayHosts : public QObject, public TrayHosts {
    Q_OBJECT

  public:
    explicit DesktopTrayHosts(std::chrono::milliseconds grace)
        : _bus(QDBusConnection::sessionBus()),
          _watcher(kWatcherService, _bus, QDBusServiceWatcher::WatchForOwnerChange) {
        _grace.setSingleShot(true);
        _grace.setInterval(grace);
        connect(&_grace, &QTimer::timeout, this, [this] {
            if (!hostNow()) report(false, _dbus);
        });
        connect(&_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
                &DesktopTrayHosts::recheck);
        for (const char* signal :
             {"StatusNotifierHostRegistered", "StatusNotifierHostUnregistered"}) {
            _bus.connect(kWatcherService, kWatcherPath, kWatcherService, signal, this,
                         SLOT(recheck()));
        }
        if (QGuiApplication::platformName() == "xcb") {
            _xembed = std::make_unique<XEmbedTray>([this] { recheck(); });
        }
        recheck();
    }
    std::optional<bool> present() const override { return _present; }
    bool drawsFromDBus() const override { return _dbus; }

  private slots:
    // A StatusNotifier host is preferred where an XEmbed tray is there too (KDE's proxy, a panel
    // with both): icons drawn natively. While no tray is there, the last kind stands.
    void recheck() {
        // A watcher there but slow to answer (a busy panel) is taken to be as it was.
        const bool dbus = isStatusNotifierHostRegistered(_bus).value_or(_dbus);
        if (dbus || (_xembed && _xembed->present())) {
            _grace.stop();
            report(true, dbus);
        } else if (_present != false && !_grace.isActive()) {
            _grace.start();
        }
    }

  private:
    bool hostNow() const {
        return isStatusNotifierHostRegistered(_bus).value_or(_dbus) ||
               (_xembed && _xembed->present());
    }
    void report(bool present, bool dbus) {
        if (_present == present && _dbus == dbus) return;
        _present = present;
        _dbus = dbus;
        if (changed) changed();
    }

    QDBusConnection _bus;
    QDBusServiceWatcher _watcher;
    QTimer _grace;
    std::unique_ptr<XEmbedTray> _xembed;
    std::optional<bool> _present;
    bool _dbus = false;
};

}  // namespace

QRect windowAt(QPoint point) {
    if (QGuiApplication::platformName() != "xcb") return {};
    const char* name = std::getenv("DISPLAY");
    Display* display = name && *name ? XOpenDisplay(name) : nullptr;
    if (!display) return {};
    const Window root = DefaultRootWindow(display);
    Window child = 0, ignored = 0;
    int x = 0, y = 0, width = 0, height = 0;
    XWindowAttributes attributes{};
    auto* previous = XSetErrorHandler(ignoreXError);  // it may go meanwhile
    if (XTranslateCoordinates(display, root, root, point.x(), point.y(), &x, &y, &child) && child &&
        XGetWindowAttributes(display, child, &attributes) &&
        XTranslateCoordinates(display, child, root, 0, 0, &x, &y, &ignored)) {
        width = attributes.width;
        height = attributes.height;
    }
    XSync(display, False);
    XSetErrorHandler(previous);
    XCloseDisplay(display);
    return width > 0 && height > 0 ? QRect(x, y, width, height) : QRect();
}

std::optional<bool> isStatusNotifierHostRegistered(const QDBusConnection& bus) {
    if (!bus.isConnected() || !bus.interface() ||
        !bus.interface()->isServiceRegistered(kWatcherService)) {
        return false;
    }
    QDBusMessage get = QDBusMessage::createMethodCall(kWatcherService, kWatcherPath,
                                                      "org.freedesktop.DBus.Properties", "Get");
    get << QString(kWatcherService) << QString("IsStatusNotifierHostRegistered");
    const QDBusMessage reply = bus.call(get, QDBus::Block, kReplyTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage) return std::nullopt;
    if (reply.arguments().isEmpty()) return false;
    return reply.arguments().first().value<QDBusVariant>().variant().toBool();
}

std::unique_ptr<TrayHosts> desktopTrayHosts(std::chrono::milliseconds grace) {
    return std::make_unique<DesktopTrayHosts>(grace);
}

}  // namespace tapsound

#include "tray_presence.moc"
