#include "platform/key_source_x11.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <bitset>
#include <optional>
#include <cstdlib>
#include <cstring>

#include "platform/virtual_keys.h"

// Last: Xlib's macros clash with Qt's headers.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xlib-xcb.h>
#include <X11/extensions/XI2proto.h>
#include <X11/extensions/XInput2.h>
#include <xcb/xcb.h>

namespace tapsound::platform {

struct X11KeySource::Connection {
    Display* display = nullptr;
    int xiOpcode = 0;
    ~Connection() {
        if (display) XCloseDisplay(display);
    }
};

namespace {

// Events read in one go: a flood must not keep the event loop (and SIGTERM) waiting.
constexpr int kEventsPerRead = 256;

// X buttons as the X server numbers them from the kernel's: 1-3 left, middle, right, 4-7 the
// wheel, 8 and 9 the side buttons browsers take for back and forward, 10-12 forward, back, task.
std::optional<std::uint8_t> mouseButton(int x) {
    switch (x) {
        case 1: return 0;
        case 2: return 2;
        case 3: return 1;
        case 8: case 11: return 3;
        case 9: case 10: return 4;
        case 12: return 7;
        default: return std::nullopt;  // the wheel, or a button we cannot place
    }
}

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

// Qt reads its connection on a thread of its own into a queue without bound, then spends far more
// on each key event than we do: presses beyond the limit, and their releases, are dropped before
// Qt sees them, so a flood into one of our windows cannot outrun the event loop.
class OwnWindowKeys : public QAbstractNativeEventFilter {
  public:
    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (type != "xcb_generic_event_t") return false;
        const auto* event = static_cast<const xcb_key_press_event_t*>(message);
        const auto kind = event->response_type & 0x7f;
        if (kind == XCB_KEY_RELEASE) {
            const bool dropped = _dropped[event->detail];
            _dropped[event->detail] = false;
            return dropped;
        }
        if (kind != XCB_KEY_PRESS) return false;
        KeyEvent press;
        press.pressed = true;
        _dropped[event->detail] = !_limiter.admit(press);
        return _dropped[event->detail];
    }

  private:
    PressLimiter _limiter;
    std::bitset<256> _dropped;
};

// Qt asks the server for every change of the keyboard's state, the pointer's buttons included,
// so each click anywhere would wake it twice; it reads only the modifiers and the group.
void keepClicksFromQt() {
    const auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>()
                              : nullptr;
    Display* display = x11 ? x11->display() : nullptr;
    int opcode = 0, event = 0, error = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
    if (!display || !XkbQueryExtension(display, &opcode, &event, &error, &major, &minor)) return;
    XkbSelectEventDetails(display, XkbUseCoreKbd, XkbStateNotify, XkbAllStateComponentsMask,
                          XkbAllStateComponentsMask & ~XkbPointerButtonMask);
    XFlush(display);
}

}  // namespace

X11KeySource::X11KeySource() {
    if (QCoreApplication* app = QCoreApplication::instance()) {
        _ownWindowKeys = std::make_unique<OwnWindowKeys>();
        app->installNativeEventFilter(_ownWindowKeys.get());
    }
    keepClicksFromQt();
}

X11KeySource::~X11KeySource() {
    stop();
    if (QCoreApplication* app = QCoreApplication::instance(); app && _ownWindowKeys) {
        app->removeNativeEventFilter(_ownWindowKeys.get());
    }
}

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
    // Events are read through xcb, a socket buffer at a time; none is selected before this.
    XSetEventQueueOwner(display, XCBOwnsEventQueue);

    selectEvents();

    XkbStateRec state{};
    if (XkbGetState(display, XkbUseCoreKbd, &state) == Success) {
        _capsLock = (state.locked_mods & LockMask) != 0;
    }
    XFlush(display);

    _handler = std::move(handler);
    _notifier = std::make_unique<QSocketNotifier>(ConnectionNumber(display), QSocketNotifier::Read);
    QObject::connect(_notifier.get(), &QSocketNotifier::activated, _notifier.get(),
                     [this] { readEvents(); });
    // A press that came while XkbGetState waited for its reply already sits in xcb's queue.
    QTimer::singleShot(0, _notifier.get(), [this] { readEvents(); });
    return true;
}

void X11KeySource::stop() {
    _notifier.reset();
    _connection.reset();
    _handler = nullptr;
    _buttonHandler = nullptr;
}

void X11KeySource::setButtonHandler(std::function<void(const ButtonEvent&)> handler) {
    const bool changed = !_buttonHandler != !handler;
    _buttonHandler = std::move(handler);
    if (changed && _connection) {
        selectEvents();
        XFlush(_connection->display);
    }
}

// Buttons are selected only while someone listens: without them, the server sends us no click.
void X11KeySource::selectEvents() {
    Display* display = _connection->display;
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawKeyPress);
    XISetMask(bits, XI_RawKeyRelease);
    if (_buttonHandler) {
        XISetMask(bits, XI_RawButtonPress);
        XISetMask(bits, XI_RawButtonRelease);
    }
    // Master devices only: each physical press then arrives once, not also from its slave.
    XIEventMask mask{XIAllMasterDevices, static_cast<int>(sizeof bits), bits};
    XISelectEvents(display, DefaultRootWindow(display), &mask, 1);
}

void X11KeySource::handleButton(int button, bool pressed) {
    const auto number = mouseButton(button);
    if (!number || !_buttonHandler || !_buttonLimiter.admit(pressed)) return;
    // Where the pointer is costs a round trip; the controller asks only when clicks are placed.
    ButtonEvent event{*number, pressed, -1};
    const auto handler = _buttonHandler;
    handler(event);
}

void X11KeySource::readEvents() {
    if (!_connection) return;
    Display* display = _connection->display;
    xcb_connection_t* xcb = XGetXCBConnection(display);
    for (int read = 0; read < kEventsPerRead; ++read) {
        // The handler may stop this source, or restart it on a new connection.
        if (!_connection || _connection->display != display) return;
        // xcb reads one buffer of the socket at a time (Xlib would read all the server has sent
        // before returning any), so a flood waits in the server rather than in our memory.
        const std::unique_ptr<xcb_generic_event_t, decltype(&std::free)> event(
            xcb_poll_for_event(xcb), &std::free);
        if (!event) {
            // A server gone leaves the socket readable for ever.
            if (xcb_connection_has_error(xcb) && _notifier) _notifier->setEnabled(false);
            return;
        }
        if ((event->response_type & 0x7f) != XCB_GE_GENERIC) continue;
        xXIRawEvent raw;
        std::memcpy(&raw, event.get(), sizeof raw);
        if (raw.extension != _connection->xiOpcode) continue;
        if (raw.evtype == XI_RawButtonPress || raw.evtype == XI_RawButtonRelease) {
            handleButton(static_cast<int>(raw.detail), raw.evtype == XI_RawButtonPress);
            continue;
        }
        if (raw.evtype != XI_RawKeyPress && raw.evtype != XI_RawKeyRelease) continue;
        // X key codes are the kernel's plus 8.
        const auto code =
            raw.detail >= 8 ? virtualKeyCodeForKernelKey(raw.detail - 8) : std::nullopt;
        if (!code) continue;
        KeyEvent key;
        key.keyCode = *code;
        key.pressed = raw.evtype == XI_RawKeyPress;
        key.autoRepeat = (raw.flags & XIKeyRepeat) != 0;
        if (key.keyCode == kVK_CapsLock && key.pressed && !key.autoRepeat) _capsLock = !_capsLock;
        if (key.keyCode == kVK_CapsLock) key.capsLockOn = _capsLock;
        if (_handler && _limiter.admit(key)) {
            const auto handler = _handler;
            handler(key);
        }
    }
    // The rest may already sit in xcb's queue, where the socket notifier cannot see it.
    if (_notifier) QTimer::singleShot(0, _notifier.get(), [this] { readEvents(); });
}

}  // namespace tapsound::platform
