#include "platform/focus_x11.h"

#include <unistd.h>

#include <QSocketNotifier>
#include <cstdlib>
#include <string>
#include <vector>

// Last: Xlib's macros clash with Qt's headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace tapsound::platform {

namespace {

int ignoreXError(Display*, XErrorEvent*) { return 0; }

// Another program's windows may go at any moment: their errors are only to be ignored.
class IgnoringErrors {
  public:
    explicit IgnoringErrors(Display* display)
        : _display(display), _previous(XSetErrorHandler(ignoreXError)) {}
    ~IgnoringErrors() {
        XSync(_display, False);
        XSetErrorHandler(_previous);
    }

  private:
    Display* _display;
    int (*_previous)(Display*, XErrorEvent*);
};

// Enough for any class name and state list; a larger property is read in part.
constexpr long kPropertyLongs = 256;

class X11FocusWatcher : public X11Focus {
  public:
    X11FocusWatcher(Display* display, std::function<void(const Window&)> changed)
        : _display(display),
          _changed(std::move(changed)),
          _root(DefaultRootWindow(display)),
          _activeAtom(XInternAtom(display, "_NET_ACTIVE_WINDOW", False)),
          _stateAtom(XInternAtom(display, "_NET_WM_STATE", False)),
          _fullScreenAtom(XInternAtom(display, "_NET_WM_STATE_FULLSCREEN", False)),
          _pidAtom(XInternAtom(display, "_NET_WM_PID", False)),
          _notifier(ConnectionNumber(display), QSocketNotifier::Read) {
        XSelectInput(_display, _root, PropertyChangeMask);
        QObject::connect(&_notifier, &QSocketNotifier::activated, &_notifier,
                         [this] { readEvents(); });
        followActiveWindow();
        report();
        readEvents();
    }
    ~X11FocusWatcher() override {
        _notifier.setEnabled(false);
        XCloseDisplay(_display);
    }

  private:
    // The property's items of the given format (Xlib hands 32-bit ones as longs), at most
    // kPropertyLongs of them; none when it is missing or of another type.
    template <typename Item>
    std::vector<Item> property(::Window window, Atom name, Atom type) {
        Atom actualType = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        std::vector<Item> items;
        const IgnoringErrors ignoring(_display);
        if (XGetWindowProperty(_display, window, name, 0, kPropertyLongs, False, type, &actualType,
                               &format, &count, &after, &data) == Success &&
            data && actualType == type && format == (sizeof(Item) == 1 ? 8 : 32)) {
            const auto* first = reinterpret_cast<const Item*>(data);
            items.assign(first, first + count);
        }
        if (data) XFree(data);
        return items;
    }

    void followActiveWindow() {
        const auto active = property<unsigned long>(_root, _activeAtom, XA_WINDOW);
        ::Window window = active.empty() ? None : active[0];
        // Our own window (the one standing in for a tray) changes nothing: the application the
        // user silences is the one typed into before it.
        const auto pid = window ? property<unsigned long>(window, _pidAtom, XA_CARDINAL)
                                : std::vector<unsigned long>();
        if (!pid.empty() && pid[0] == static_cast<unsigned long>(getpid())) window = _window;
        if (window == _window) return;
        const IgnoringErrors ignoring(_display);
        if (_window) XSelectInput(_display, _window, NoEventMask);
        _window = window;
        if (_window) XSelectInput(_display, _window, PropertyChangeMask);
    }

    void report() {
        Window now;
        if (_window) {
            const auto bytes = property<char>(_window, XA_WM_CLASS, XA_STRING);
            // "instance\0class\0": the class names the application.
            const std::string names(bytes.begin(), bytes.end());
            const auto split = names.find('\0');
            if (split != std::string::npos) {
                now.application = QString::fromLatin1(names.substr(split + 1).c_str()).simplified();
            }
            for (unsigned long state : property<unsigned long>(_window, _stateAtom, XA_ATOM)) {
                now.fullScreen = now.fullScreen || state == _fullScreenAtom;
            }
        }
        if (now.application == _shown.application && now.fullScreen == _shown.fullScreen) return;
        _shown = now;
        if (_changed) _changed(_shown);
    }

    // Asking for properties may queue events the socket no longer tells of: read until none.
    void readEvents() {
        while (XPending(_display)) {
            bool changed = false;
            while (XPending(_display)) {
                XEvent event;
                XNextEvent(_display, &event);
                if (event.type != PropertyNotify) continue;
                const XPropertyEvent& property = event.xproperty;
                if (property.window == _root && property.atom == _activeAtom) {
                    followActiveWindow();
                    changed = true;
                } else if (property.window == _window &&
                           (property.atom == _stateAtom || property.atom == XA_WM_CLASS)) {
                    changed = true;
                }
            }
            if (changed) report();
        }
    }

    Display* _display;
    std::function<void(const Window&)> _changed;
    ::Window _root, _window = None;
    Atom _activeAtom, _stateAtom, _fullScreenAtom, _pidAtom;
    QSocketNotifier _notifier;
    Window _shown;
};

}  // namespace

std::unique_ptr<X11Focus> X11Focus::create(Changed changed) {
    const char* name = std::getenv("DISPLAY");
    Display* display = name && *name ? XOpenDisplay(name) : nullptr;
    if (!display) return nullptr;
    return std::make_unique<X11FocusWatcher>(display, std::move(changed));
}

}  // namespace tapsound::platform
