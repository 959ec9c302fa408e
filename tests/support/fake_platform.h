#pragma once

#include <sys/stat.h>

#include <QMenu>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/app_delegate.h"
#include "app/main_interface.h"
#include "platform/accessibility.h"
#include "platform/bookmarks_file.h"
#include "platform/event_monitor.h"
#include "platform/file_manager_posix.h"
#include "platform/open_panel.h"
#include "platform/sound.h"
#include "platform/user_defaults_qt.h"
#include "platform/workspace.h"
#include "tests/support/sound_files.h"

namespace tapsound::test {

struct Started {
    const platform::SampleBuffer* samples;
    float volume;
    std::chrono::steady_clock::time_point at;
};

class RecordingPlayer : public platform::SoundPlayer {
public:
    bool start(std::shared_ptr<const platform::SampleBuffer> samples, float volume) override {
        started.push_back({samples.get(), volume, std::chrono::steady_clock::now()});
        return true;
    }
    std::vector<Started> started;
};

// Any non-empty regular file whose first bytes are not "BAD" counts as a sound; each load makes
// its own sample buffer, so tests can tell sounds apart by buffer.
class FakeSoundLoader : public platform::SoundLoader {
public:
    explicit FakeSoundLoader(std::shared_ptr<RecordingPlayer> player) : _player(std::move(player)) {}
    std::shared_ptr<const platform::Sound> initWithContentsOfFile(const std::string& path) override {
        loaded.push_back(path);
        struct stat st {};
        if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) return nullptr;
        if (readBytes(path).rfind("BAD", 0) == 0) return nullptr;
        auto samples = std::make_shared<platform::SampleBuffer>();
        samples->samples.assign(2, 0.5f);
        bufferForPath[path] = samples.get();
        return std::make_shared<platform::Sound>(std::move(samples), _player);
    }
    std::vector<std::string> soundUnfilteredTypes() const override { return {"wav", "aiff"}; }

    std::vector<std::string> loaded;
    std::map<std::string, const platform::SampleBuffer*> bufferForPath;

private:
    std::shared_ptr<RecordingPlayer> _player;
};

class FakeEventMonitor : public platform::EventMonitor {
public:
    struct Installed : platform::Monitor {
        bool global;
        std::function<void(const platform::Event&)> globalHandler;
        std::function<platform::Event(const platform::Event&)> localHandler;
    };
    platform::MonitorToken addGlobalMonitorForEventsMatchingMask(
        std::uint64_t mask, std::function<void(const platform::Event&)> handler) override {
        calls.push_back("addGlobal");
        masks.push_back(mask);
        auto monitor = std::make_shared<Installed>();
        monitor->global = true;
        monitor->globalHandler = std::move(handler);
        installed.push_back(monitor);
        return monitor;
    }
    platform::MonitorToken addLocalMonitorForEventsMatchingMask(
        std::uint64_t mask, std::function<platform::Event(const platform::Event&)> handler) override {
        calls.push_back("addLocal");
        masks.push_back(mask);
        auto monitor = std::make_shared<Installed>();
        monitor->global = false;
        monitor->localHandler = std::move(handler);
        installed.push_back(monitor);
        return monitor;
    }
    void removeMonitor(const platform::MonitorToken& token) override {
        for (auto it = installed.begin(); it != installed.end(); ++it) {
            if (*it == token) {
                calls.push_back((*it)->global ? "removeGlobal" : "removeLocal");
                installed.erase(it);
                return;
            }
        }
        calls.push_back("removeUnknown");
    }
    int count(bool global) const {
        int n = 0;
        for (const auto& m : installed) n += m->global == global;
        return n;
    }
    // Delivers to the global monitors, or the local ones when the event is for our own window.
    void deliver(const platform::Event& event, bool toOwnWindow = false) {
        const auto copy = installed;
        for (const auto& m : copy) {
            if (m->global && !toOwnWindow) m->globalHandler(event);
            if (!m->global && toOwnWindow) lastLocalResult = m->localHandler(event);
        }
    }

    std::vector<std::string> calls;
    std::vector<std::uint64_t> masks;
    std::vector<std::shared_ptr<Installed>> installed;
    platform::Event lastLocalResult;
};

class FakeAccessibility : public platform::Accessibility {
public:
    bool isProcessTrustedWithOptions(bool prompt) override {
        ++calls;
        lastPrompt = prompt;
        return trusted;
    }
    bool trusted = true;
    int calls = 0;
    bool lastPrompt = false;
};

class FakeWorkspace : public platform::Workspace {
public:
    bool openURL(const std::string& url) override {
        opened.push_back(url);
        return result;
    }
    std::vector<std::string> opened;
    bool result = true;
};

class FakeOpenPanel : public platform::OpenPanel {
public:
    struct State {
        int made = 0;
        int broughtForward = 0;
        std::vector<std::string> types;
        bool multiple = true;
        bool directories = false;
        std::function<void(int)> handler;
        std::string chosen;
    };
    explicit FakeOpenPanel(std::shared_ptr<State> state) : _state(std::move(state)) { ++_state->made; }
    void setAllowedFileTypes(const std::vector<std::string>& extensions) override {
        _state->types = extensions;
    }
    void setAllowsMultipleSelection(bool allows) override { _state->multiple = allows; }
    void setCanChooseDirectories(bool can) override { _state->directories = can; }
    void beginWithCompletionHandler(std::function<void(int)> handler) override {
        _state->handler = std::move(handler);
    }
    void orderFrontRegardless() override { ++_state->broughtForward; }
    std::string URL() const override { return _state->chosen; }

private:
    std::shared_ptr<State> _state;
};

// A controller wired to fakes, with real preferences and bookmarks in a temporary folder; a real
// event monitor may stand in for the fake one.
struct ControllerRig {
    explicit ControllerRig(bool trusted = true, const std::string& configDir = {},
                           platform::EventMonitor* events = nullptr)
        : config(configDir.empty() ? dir.path() : configDir),
          defaults(QString::fromStdString(config + "/tapsound.conf")),
          player(std::make_shared<RecordingPlayer>()),
          loader(player),
          panel(std::make_shared<FakeOpenPanel::State>()) {
        accessibility.trusted = trusted;
        menu = loadMainInterface(":/MainMenu.xml");
        AppDelegate::initialize(defaults);
        delegate = std::make_unique<AppDelegate>(
            Platform{
                .userDefaults = defaults,
                .fileManager = fileManager,
                .soundLoader = loader,
                .eventMonitor = events ? *events : monitor,
                .accessibility = accessibility,
                .workspace = workspace,
                .bookmarks = bookmarks,
                .openPanel = [state = panel] { return std::make_unique<FakeOpenPanel>(state); },
                .privacyAccessibilityURL = "file:///usr/share/tapsound/help/index.html",
                .terminate = [this] { ++terminated; },
                .rand = [this] {
                    if (randValues.empty()) return 0;
                    const int r = randValues.front();
                    randValues.pop_front();
                    ++randCalls;
                    return r;
                },
                .srand = [this](unsigned seed) { seeds.push_back(seed); },
            },
            menu.get());
    }
    ~ControllerRig() {
        delegate.reset();
        menu.reset();
    }

    AppDelegate& operator*() { return *delegate; }
    AppDelegate* operator->() { return delegate.get(); }

    TempDir dir;
    std::string config;
    platform::QtUserDefaults defaults;
    platform::PosixFileManager fileManager;
    std::shared_ptr<RecordingPlayer> player;
    FakeSoundLoader loader;
    FakeEventMonitor monitor;
    FakeAccessibility accessibility;
    FakeWorkspace workspace;
    platform::FileBookmarks bookmarks;
    std::shared_ptr<FakeOpenPanel::State> panel;
    std::unique_ptr<QMenu> menu;
    std::unique_ptr<AppDelegate> delegate;
    int terminated = 0;
    std::deque<int> randValues;
    int randCalls = 0;
    std::vector<unsigned> seeds;
};

}  // namespace tapsound::test
