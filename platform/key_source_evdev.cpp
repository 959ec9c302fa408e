#include "platform/key_source_evdev.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/virtual_keys.h"

namespace tapsound::platform {

namespace {

constexpr std::size_t kBitsPerWord = sizeof(unsigned long) * CHAR_BIT;
constexpr std::size_t words(std::size_t bits) { return (bits + kBitsPerWord - 1) / kBitsPerWord; }

bool testBit(std::span<const unsigned long> bits, unsigned bit) {
    const std::size_t word = bit / kBitsPerWord;
    return word < bits.size() && ((bits[word] >> (bit % kBitsPerWord)) & 1UL) != 0;
}

constexpr std::array kLetters = {KEY_Q, KEY_W, KEY_E, KEY_R, KEY_T, KEY_Y, KEY_U, KEY_I, KEY_O,
                                 KEY_P, KEY_A, KEY_S, KEY_D, KEY_F, KEY_G, KEY_H, KEY_J, KEY_K,
                                 KEY_L, KEY_Z, KEY_X, KEY_C, KEY_V, KEY_B, KEY_N, KEY_M};

bool isEventDeviceName(const std::string& name) {
    if (name.size() <= 5 || name.compare(0, 5, "event") != 0) return false;
    for (std::size_t i = 5; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
    }
    return true;
}

// A flood is read a slice at a time: the rest stays in the kernel (which drops what overflows and
// says so), and the event loop turns between slices.
constexpr int kReadsPerCall = 16;

int openReadOnly(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); }

}  // namespace

bool isKeyboardFromCapabilities(std::span<const unsigned long> eventBits, std::span<const unsigned long> keyBits) {
    if (!testBit(eventBits, EV_KEY)) return false;
    for (const unsigned letter : kLetters) {
        if (!testBit(keyBits, letter)) return false;
    }
    return true;
}

bool isKeyboardDevice(int fd) {
    std::array<unsigned long, words(EV_CNT)> eventBits{};
    std::array<unsigned long, words(KEY_CNT)> keyBits{};
    if (ioctl(fd, EVIOCGBIT(0, sizeof eventBits), eventBits.data()) < 0) return false;
    if (ioctl(fd, EVIOCGBIT(EV_KEY, sizeof keyBits), keyBits.data()) < 0) return false;
    return isKeyboardFromCapabilities(eventBits, keyBits);
}

bool isPointerFromCapabilities(std::span<const unsigned long> eventBits,
                               std::span<const unsigned long> keyBits) {
    return testBit(eventBits, EV_KEY) && testBit(keyBits, BTN_LEFT);
}

bool isPointerDevice(int fd) {
    std::array<unsigned long, words(EV_CNT)> eventBits{};
    std::array<unsigned long, words(KEY_CNT)> keyBits{};
    if (ioctl(fd, EVIOCGBIT(0, sizeof eventBits), eventBits.data()) < 0) return false;
    if (ioctl(fd, EVIOCGBIT(EV_KEY, sizeof keyBits), keyBits.data()) < 0) return false;
    return isPointerFromCapabilities(eventBits, keyBits);
}

namespace {

// The kernel's mouse buttons by their Event::buttonNumber. The thumb buttons most mice report as
// side and extra are back and forward, as the X server and browsers take them, so a click sounds
// alike on X11 and Wayland. Touch and tool bits are no clicks.
std::optional<std::uint8_t> mouseButton(unsigned code) {
    switch (code) {
        case BTN_LEFT: return 0;
        case BTN_RIGHT: return 1;
        case BTN_MIDDLE: return 2;
        case BTN_SIDE: case BTN_BACK: return 3;
        case BTN_EXTRA: case BTN_FORWARD: return 4;
        case BTN_TASK: return 7;
        default: return std::nullopt;
    }
}

}  // namespace

// --- one device

EvdevDeviceReader::EvdevDeviceReader(int fd) : _fd(fd) {
    // Keys already down when we start are known as such, so their first event is not a new press.
    std::array<unsigned long, words(KEY_CNT)> keys{};
    if (ioctl(_fd, EVIOCGKEY(sizeof keys), keys.data()) >= 0) {
        for (unsigned code = 0; code < KEY_CNT; ++code) _down[code] = testBit(keys, code);
    }
}

bool EvdevDeviceReader::readAvailable(std::vector<KeyEvent>& out, bool& capsLock,
                                      std::vector<ButtonEvent>* buttons) {
    std::array<unsigned char, 64 * sizeof(input_event)> buffer;
    for (int reads = 0; reads < kReadsPerCall; ++reads) {
        const ssize_t n = ::read(_fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (n <= 0) {
            // Unplugged (ENODEV), the end of a stream, or an error: let go of what it held.
            releaseHeld(out);
            return false;
        }
        _pending.insert(_pending.end(), buffer.begin(), buffer.begin() + n);
        std::size_t used = 0;
        while (_pending.size() - used >= sizeof(input_event)) {
            input_event event;
            std::memcpy(&event, _pending.data() + used, sizeof event);
            used += sizeof event;
            handle(event.type, event.code, event.value, out, capsLock, buttons);
        }
        _pending.erase(_pending.begin(), _pending.begin() + static_cast<std::ptrdiff_t>(used));
    }
    return true;
}

void EvdevDeviceReader::handle(unsigned type, unsigned code, int value, std::vector<KeyEvent>& out,
                               bool& capsLock, std::vector<ButtonEvent>* buttons) {
    if (type == EV_SYN && code == SYN_DROPPED) {
        _dropping = true;
        return;
    }
    if (_dropping) {
        if (type != EV_SYN || code != SYN_REPORT) return;
        _dropping = false;
        // Events were lost: ask the device what is down now and release the rest.
        std::array<unsigned long, words(KEY_CNT)> keys{};
        if (ioctl(_fd, EVIOCGKEY(sizeof keys), keys.data()) >= 0) {
            std::bitset<KEY_CNT> down;
            for (unsigned c = 0; c < KEY_CNT; ++c) down[c] = testBit(keys, c);
            releaseAll(out, &down);
        } else {
            releaseHeld(out);
        }
        std::array<unsigned long, words(LED_CNT)> leds{};
        if (ioctl(_fd, EVIOCGLED(sizeof leds), leds.data()) >= 0) capsLock = testBit(leds, LED_CAPSL);
        return;
    }
    if (type == EV_LED && code == LED_CAPSL) {
        // The compositor sets the LED from its own lock state: that state wins.
        capsLock = value != 0;
        return;
    }
    if (type != EV_KEY || code >= KEY_CNT) return;
    if (const auto button = mouseButton(code)) {
        // Buttons do not repeat; a press already down is no new click.
        const bool pressed = value != 0;
        if (pressed == _down[code]) return;
        _down[code] = pressed;
        if (buttons) buttons->push_back(ButtonEvent{*button, pressed, -1});
        return;
    }
    switch (value) {
        case 0: key(code, false, false, out, capsLock); break;
        case 1: key(code, true, _down[code], out, capsLock); break;
        case 2: key(code, true, true, out, capsLock); break;
        default: break;
    }
}

void EvdevDeviceReader::key(unsigned code, bool pressed, bool autoRepeat, std::vector<KeyEvent>& out,
                            bool& capsLock) {
    _down[code] = pressed;
    const auto virtualCode = virtualKeyCodeForKernelKey(code);
    if (!virtualCode) return;
    KeyEvent event;
    event.keyCode = *virtualCode;
    event.pressed = pressed;
    event.autoRepeat = autoRepeat;
    if (code == KEY_CAPSLOCK) {
        if (pressed && !autoRepeat) capsLock = !capsLock;
        event.capsLockOn = capsLock;
    }
    out.push_back(event);
}

void EvdevDeviceReader::releaseHeld(std::vector<KeyEvent>& out) { releaseAll(out, nullptr); }

void EvdevDeviceReader::releaseAll(std::vector<KeyEvent>& out, const std::bitset<KEY_CNT>* stillDown) {
    for (unsigned code = 0; code < KEY_CNT; ++code) {
        if (!_down[code] || (stillDown && (*stillDown)[code])) continue;
        _down[code] = false;
        if (const auto virtualCode = virtualKeyCodeForKernelKey(code)) {
            out.push_back(KeyEvent{*virtualCode, false, false, std::nullopt});
        }
    }
}

// --- all keyboards

struct EvdevKeySource::Device {
    explicit Device(int fd) : reader(fd) {}
    ~Device() {
        notifier.reset();
        ::close(reader.fd());
    }
    EvdevDeviceReader reader;
    std::unique_ptr<QSocketNotifier> notifier;
    bool keyboard = true;  // else a pointer, open while buttons are asked for
};

EvdevKeySource::EvdevKeySource(Options options) : _options(std::move(options)) {
    if (!_options.isKeyboard) _options.isKeyboard = isKeyboardDevice;
}

EvdevKeySource::~EvdevKeySource() { stop(); }

bool EvdevKeySource::canRunHere() {
    // Any Linux session has input devices; whether we may read them is the trust question.
    return true;
}

std::vector<std::string> EvdevKeySource::deviceNames() const {
    std::vector<std::string> names;
    DIR* directory = opendir(_options.directory.c_str());
    if (!directory) return names;
    while (const dirent* entry = readdir(directory)) {
        if (isEventDeviceName(entry->d_name)) names.emplace_back(entry->d_name);
    }
    closedir(directory);
    return names;
}

bool EvdevKeySource::canObserveKeys() {
    if (!_devices.empty()) return true;
    for (const std::string& name : deviceNames()) {
        const int fd = openReadOnly(_options.directory + "/" + name);
        if (fd < 0) continue;
        const bool keyboard = _options.isKeyboard(fd);
        ::close(fd);
        if (keyboard) return true;
    }
    return false;
}

bool EvdevKeySource::start(std::function<void(const KeyEvent&)> handler) {
    stop();
    _handler = std::move(handler);
    _inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (_inotify >= 0) {
        // IN_ATTRIB: udev creates the node first and grants access to it a moment later.
        if (inotify_add_watch(_inotify, _options.directory.c_str(),
                              IN_CREATE | IN_ATTRIB | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM) < 0) {
            ::close(_inotify);
            _inotify = -1;
        } else {
            _inotifyNotifier = std::make_unique<QSocketNotifier>(_inotify, QSocketNotifier::Read);
            QObject::connect(_inotifyNotifier.get(), &QSocketNotifier::activated, _inotifyNotifier.get(),
                             [this] { readDirectoryChanges(); });
        }
    }
    for (const std::string& name : deviceNames()) openDevice(name);
    // Keyboards that come later still count when the directory can be watched.
    if (_devices.empty() && _inotify < 0) {
        stop();
        return false;
    }
    std::array<unsigned long, words(LED_CNT)> leds{};
    for (const auto& [name, device] : _devices) {
        if (!device->keyboard) continue;
        if (ioctl(device->reader.fd(), EVIOCGLED(sizeof leds), leds.data()) >= 0) {
            _capsLock = testBit(leds, LED_CAPSL);
            break;
        }
    }
    return true;
}

void EvdevKeySource::stop() {
    ++_generation;
    _devices.clear();
    _inotifyNotifier.reset();
    if (_inotify >= 0) ::close(_inotify);
    _inotify = -1;
    _handler = nullptr;
    _buttonHandler = nullptr;
}

std::size_t EvdevKeySource::keyboardCount() const {
    std::size_t count = 0;
    for (const auto& [name, device] : _devices) count += device->keyboard;
    return count;
}

void EvdevKeySource::setButtonHandler(std::function<void(const ButtonEvent&)> handler) {
    const bool wanted = handler != nullptr;
    const bool changed = !_buttonHandler != !wanted;
    _buttonHandler = std::move(handler);
    if (!changed || !_handler) return;
    if (wanted) {
        for (const std::string& name : deviceNames()) openDevice(name);
        return;
    }
    // Pointers that are no keyboards have nothing more to tell.
    std::vector<std::string> pointers;
    for (const auto& [name, device] : _devices) {
        if (!device->keyboard) pointers.push_back(name);
    }
    for (const std::string& name : pointers) closeDevice(name);
}

void EvdevKeySource::openDevice(const std::string& name) {
    if (_devices.count(name)) return;
    const int fd = openReadOnly(_options.directory + "/" + name);
    if (fd < 0) return;  // not (yet) allowed: an IN_ATTRIB may bring us back
    const bool keyboard = _options.isKeyboard(fd);
    if (!keyboard && !(_buttonHandler && _options.isPointer && _options.isPointer(fd))) {
        ::close(fd);
        return;
    }
    auto device = std::make_unique<Device>(fd);
    device->keyboard = keyboard;
    device->notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(device->notifier.get(), &QSocketNotifier::activated, device->notifier.get(),
                     [this, name] { readDevice(name); });
    _devices.emplace(name, std::move(device));
}

void EvdevKeySource::closeDevice(const std::string& name) {
    const auto found = _devices.find(name);
    if (found == _devices.end()) return;
    // Called from the device's own notifier: let Qt delete it once the signal is done.
    found->second->notifier->setEnabled(false);
    found->second->notifier.release()->deleteLater();
    _devices.erase(found);
}

void EvdevKeySource::readDevice(const std::string& name) {
    const auto found = _devices.find(name);
    if (found == _devices.end()) return;
    std::vector<KeyEvent> events;
    std::vector<ButtonEvent> buttons;
    const bool alive = found->second->reader.readAvailable(events, _capsLock,
                                                           _buttonHandler ? &buttons : nullptr);
    if (!alive) closeDevice(name);
    const unsigned generation = _generation;
    deliver(events);
    if (generation == _generation) deliver(buttons);
}

void EvdevKeySource::readDirectoryChanges() {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(_inotify, buffer, sizeof buffer);
        if (n <= 0) return;
        for (ssize_t offset = 0; offset + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->len == 0 || offset > n) continue;
            const std::string name(event->name, strnlen(event->name, event->len));
            if (!isEventDeviceName(name)) continue;
            if (event->mask & (IN_DELETE | IN_MOVED_FROM)) {
                const auto found = _devices.find(name);
                if (found == _devices.end()) continue;
                // Its descriptor may not report the end: take what is left, then let go of its keys.
                std::vector<KeyEvent> events;
                found->second->reader.readAvailable(events, _capsLock);
                found->second->reader.releaseHeld(events);
                closeDevice(name);
                const unsigned generation = _generation;
                deliver(events);
                if (generation != _generation) return;
            } else {
                openDevice(name);
            }
        }
    }
}

void EvdevKeySource::deliver(const std::vector<ButtonEvent>& events) {
    const unsigned generation = _generation;
    for (const ButtonEvent& event : events) {
        if (generation != _generation || !_buttonHandler) return;
        if (!_buttonLimiter.admit(event.pressed)) continue;
        const auto handler = _buttonHandler;
        handler(event);
    }
}

void EvdevKeySource::deliver(const std::vector<KeyEvent>& events) {
    const unsigned generation = _generation;
    for (const KeyEvent& event : events) {
        // The handler may stop this source.
        if (generation != _generation || !_handler) return;
        if (!_limiter.admit(event)) continue;
        const auto handler = _handler;
        handler(event);
    }
}

}  // namespace tapsound::platform
