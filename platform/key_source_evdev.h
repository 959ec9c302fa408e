#pragma once

#include <linux/input-event-codes.h>

#include <bitset>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/key_source.h"
#include "platform/key_sources.h"

class QSocketNotifier;

namespace tapsound::platform {

// A keyboard is a device that reports key events for the letter keys; mice, power buttons and
// media-key nodes are not. Takes the capability bits as the kernel gives them (EVIOCGBIT).
bool isKeyboardFromCapabilities(std::span<const unsigned long> eventBits,
                                std::span<const unsigned long> keyBits);
// The same, asked of an open input device.
bool isKeyboardDevice(int fd);
// A pointer is a device with a left button: mice, touchpads, trackballs.
bool isPointerFromCapabilities(std::span<const unsigned long> eventBits,
                               std::span<const unsigned long> keyBits);
bool isPointerDevice(int fd);

// Turns the input_event records of one device into key events. Keeps which keys are down, so a
// press of a key already down is a repeat and a device that goes away releases what it held.
// Works on any readable descriptor, so tests can feed it a pipe.
class EvdevDeviceReader {
public:
    explicit EvdevDeviceReader(int fd);

    // Reads what is there without blocking, at most about a thousand records a call (a descriptor
    // with more stays readable), and appends the key events to `out`. False when the
    // device is gone (unplugged, end of stream, read error); `out` then ends with releases of
    // the keys it still held. `capsLock` is the lock state shared by all keyboards. Mouse buttons
    // go to `buttons`, when given.
    bool readAvailable(std::vector<KeyEvent>& out, bool& capsLock,
                       std::vector<ButtonEvent>* buttons = nullptr);

    // Releases of every key still down, as when the device goes away.
    void releaseHeld(std::vector<KeyEvent>& out);

    int fd() const { return _fd; }

private:
    void handle(unsigned type, unsigned code, int value, std::vector<KeyEvent>& out, bool& capsLock,
                std::vector<ButtonEvent>* buttons);
    void key(unsigned code, bool pressed, bool autoRepeat, std::vector<KeyEvent>& out, bool& capsLock);
    void releaseAll(std::vector<KeyEvent>& out, const std::bitset<KEY_CNT>* stillDown);

    int _fd;
    std::vector<unsigned char> _pending;  // a record split across reads
    std::bitset<KEY_CNT> _down;               // kernel key codes currently down
    bool _dropping = false;               // the kernel's buffer overflowed: skip to the next report
};

// Every keyboard among the kernel's input devices, for Wayland sessions, where no program may
// observe the keys sent to another, and every pointer while buttons are asked for. It only reads:
// it never grabs a device, so every program keeps receiving every key. Devices plugged in or
// removed while it runs are followed through inotify.
class EvdevKeySource : public KeySource {
public:
    struct Options {
        std::string directory = "/dev/input";
        std::function<bool(int fd)> isKeyboard = isKeyboardDevice;
        std::function<bool(int fd)> isPointer = isPointerDevice;
    };

    EvdevKeySource() : EvdevKeySource(Options{}) {}
    explicit EvdevKeySource(Options options);
    ~EvdevKeySource() override;
    EvdevKeySource(const EvdevKeySource&) = delete;
    EvdevKeySource& operator=(const EvdevKeySource&) = delete;

    std::string name() const override { return "evdev"; }
    // True when at least one keyboard can be read.
    bool canObserveKeys() override;
    bool start(std::function<void(const KeyEvent&)> handler) override;
    void stop() override;
    // Pointers are opened only while buttons are asked for.
    void setButtonHandler(std::function<void(const ButtonEvent&)> handler) override;

    static bool canRunHere();
    std::size_t keyboardCount() const;
    std::size_t deviceCount() const { return _devices.size(); }

private:
    struct Device;
    std::vector<std::string> deviceNames() const;
    void openDevice(const std::string& name);
    void closeDevice(const std::string& name);
    void readDevice(const std::string& name);
    void readDirectoryChanges();
    void deliver(const std::vector<KeyEvent>& events);
    void deliver(const std::vector<ButtonEvent>& events);

    Options _options;
    std::function<void(const KeyEvent&)> _handler;
    std::function<void(const ButtonEvent&)> _buttonHandler;
    std::map<std::string, std::unique_ptr<Device>> _devices;
    int _inotify = -1;
    std::unique_ptr<QSocketNotifier> _inotifyNotifier;
    bool _capsLock = false;
    PressLimiter _limiter;
    PressLimiter _buttonLimiter;
    unsigned _generation = 0;  // changes on stop(), so delivery notices a handler that stopped us
};

}  // namespace tapsound::platform
