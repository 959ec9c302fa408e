#include "platform/key_source_x11.h"

#include <QSocketNotifier>
#include <cstdlib>

#include "platform/virtual_keys.h"

// Last: Xlib's macros clash with Qt's headers.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

namespace tapsound::platform {

struct X11KeySource::Connection {
    Display* display = nullptr;
    int xiOpcode = 0;
    ~Connection() {
        if (display) XCloseDisplay(display);
    }
};

namespace {

// The connection to the display with XInput 2 present, or nothing.
std::unique_ptr<X11KeySource::Connection> connectWithXInput2() {
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) return nullptr;
    auto connection = std::make_unique<X11KeySource::Connection>();
    connection->display = XOpenDisplay(name);
    if (!connection->display) return nullptr;
    int event = 0, error = 0;
    if (!XQueryExtension(connection->display, "XInputExtension", &connection->xiOpcode, &event,
                         &error)) {
        return nullptr;
    }
    // 2.2 so raw events keep coming while another client holds a grab.
    int major = 2, minor = 2;
    if (XIQueryVersion(connection->display, &major, &minor) != Success || major < 2) return nullptr;
    return connection;
}

}  // namespace

X11KeySource::X11KeySource() = default;

X11KeySource::~X11KeySource() { stop(); }

bool X11KeySource::canRunHere() {
    const char* name = std::getenv("DISPLAY");
    return name && *name;
}

bool X11KeySource::canObserveKeys() {
    if (_connection) return true;
    return connectWithXInput2() != nullptr;
}

bool X11KeySource::start(std::function<void(const KeyEvent&)> handler) {
    stop();
    _connection = connectWithXInput2();
    if (!_connection) return false;
    Display* display = _connection->display;

    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawKeyPress);
    XISetMask(bits, XI_RawKeyRelease);
    // Master devices only: each physical press then arrives once, not also from its slave.
    XIEventMask mask{XIAllMasterDevices, static_cast<int>(sizeof bits), bits};
    XISelectEvents(display, DefaultRootWindow(display), &mask, 1);

    XkbStateRec state{};
    if (XkbGetState(display, XkbUseCoreKbd, &state) == Success) {
        _capsLock = (state.locked_mods & LockMask) != 0;
    }
    XFlush(display);

    _handler = std::move(handler);
    _notifier = std::make_unique<QSocketNotifier>(ConnectionNumber(display), QSocketNotifier::Read);
    QObject::connect(_notifier.get(), &QSocketNotifier::activated, _notifier.get(),
                     [this] { readEvents(); });
    return true;
}

void X11KeySource::stop() {
    _notifier.reset();
    _connection.reset();
    _handler = nullptr;
}

void X11KeySource::readEvents() {
    if (!_connection) return;
    Display* display = _connection->display;
    while (_connection && XPending(display)) {
        XEvent event;
        XNextEvent(display, &event);
        XGenericEventCookie* cookie = &event.xcookie;
        if (cookie->type != GenericEvent || cookie->extension != _connection->xiOpcode ||
            !XGetEventData(display, cookie)) {
            continue;
        }
        KeyEvent key;
        bool deliver = false;
        if (cookie->evtype == XI_RawKeyPress || cookie->evtype == XI_RawKeyRelease) {
            const auto* raw = static_cast<const XIRawEvent*>(cookie->data);
            // X key codes are the kernel's plus 8.
            const auto code = raw->detail >= 8 ? virtualKeyCodeForKernelKey(raw->detail - 8)
                                               : std::nullopt;
            if (code) {
                key.keyCode = *code;
                key.pressed = cookie->evtype == XI_RawKeyPress;
                key.autoRepeat = (raw->flags & XIKeyRepeat) != 0;
                if (key.keyCode == kVK_CapsLock && key.pressed && !key.autoRepeat) {
                    _capsLock = !_capsLock;
                }
                if (key.keyCode == kVK_CapsLock) key.capsLockOn = _capsLock;
                deliver = true;
            }
        }
        XFreeEventData(display, cookie);
        // The handler may stop this source, which closes the connection.
        if (deliver && _handler) {
            const auto handler = _handler;
            handler(key);
        }
    }
}

}  // namespace tapsound::platform
