#pragma once

#include <QTimer>
#include <array>
#include <functional>
#include <memory>
#include <vector>

#include "platform/event_monitor.h"
#include "platform/key_source.h"

namespace tapsound::platform {

// Turns a key source's presses and releases into key-down, key-up and flags-changed events, and
// hands each to the local monitors when one of our windows has the focus, else to the global ones.
// A release makes a key-up (after its flags-changed, for a modifier) only when its press was seen,
// once however long the key was held. The source runs only while a monitor is installed (it stops
// as the event loop turns after the last one goes), and is asked for mouse buttons only while a
// monitor's mask holds them.
class KeyEventMonitor : public EventMonitor {
public:
    KeyEventMonitor(std::unique_ptr<KeySource> source, std::function<bool()> ownsFocus);
    ~KeyEventMonitor() override;

    MonitorToken addGlobalMonitorForEventsMatchingMask(
        std::uint64_t mask, std::function<void(const Event&)> handler) override;
    MonitorToken addLocalMonitorForEventsMatchingMask(
        std::uint64_t mask, std::function<Event(const Event&)> handler) override;
    void removeMonitor(const MonitorToken& monitor) override;

    // What the source reports; public so the translation can be driven directly.
    void handleKeyEvent(const KeyEvent& key);
    // A button's release makes an event only when its press was seen.
    void handleButtonEvent(const ButtonEvent& button);
    bool isSourceRunning() const { return _running; }

private:
    struct Installed;
    MonitorToken add(std::shared_ptr<Installed> monitor);
    std::uint64_t currentFlags() const;
    void deliver(const Event& event);
    void askForButtons();
    void stopSource();

    std::unique_ptr<KeySource> _source;
    std::function<bool()> _ownsFocus;
    std::vector<std::shared_ptr<Installed>> _monitors;
    std::array<bool, 256> _held{};
    std::array<bool, 256> _pressSeen{};  // its key-down was delivered, so its release may sound
    bool _capsLock = false;
    bool _running = false;
    bool _buttonsAsked = false;
    std::array<bool, 8> _buttonPressSeen{};
    QTimer _stopTimer;
};

}  // namespace tapsound::platform
