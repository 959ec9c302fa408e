#pragma once

#include <memory>

#include "platform/key_source.h"
#include "platform/key_sources.h"

class QAbstractNativeEventFilter;
class QSocketNotifier;

namespace tapsound::platform {

// Every key press and release on the X display, whatever window has the focus, through XInput 2
// raw events, and mouse buttons likewise while asked for. Needs no focus and no special rights.
class X11KeySource : public KeySource {
public:
    X11KeySource();
    ~X11KeySource() override;

    std::string name() const override { return "x11"; }
    bool canObserveKeys() override;
    bool start(std::function<void(const KeyEvent&)> handler) override;
    void stop() override;
    void setButtonHandler(std::function<void(const ButtonEvent&)> handler) override;

    static bool canRunHere();
    struct Connection;

private:
    void readEvents();
    void selectEvents();
    void handleButton(int button, bool pressed);

    std::unique_ptr<Connection> _connection;
    std::unique_ptr<QSocketNotifier> _notifier;
    std::function<void(const KeyEvent&)> _handler;
    std::function<void(const ButtonEvent&)> _buttonHandler;
    bool _capsLock = false;
    PressLimiter _limiter;
    PressLimiter _buttonLimiter;  // a click flood leaves the keys their own allowance
    // Keys typed into our own windows reach Qt's connection: floods are dropped there too.
    std::unique_ptr<QAbstractNativeEventFilter> _ownWindowKeys;
};

}  // namespace tapsound::platform
