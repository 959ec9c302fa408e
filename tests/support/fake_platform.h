#pragma once

#include <QAction>
#include <QMenu>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "app/app_delegate.h"
#include "app/main_interface.h"
#include "platform/accessibility_keys.h"
#include "platform/bookmarks_file.h"
#include "platform/file_manager_posix.h"
#include "platform/key_event_monitor.h"
#include "platform/open_panel_qt.h"
#include "platform/sound.h"
#include "platform/sound_file.h"
#include "platform/user_defaults_qt.h"
#include "platform/work_queue.h"
#include "platform/workspace.h"
#include "tests/support/sound_files.h"

namespace tapsound::test {

struct Started {
    const platform::SampleBuffer* samples;
    float volume;
    std::chrono::steady_clock::time_point at;
    platform::Voicing voicing{};
};

struct RecordingPlayer : public platform::SoundPlayer {
    bool start(std::shared_ptr<const platform::SampleBuffer> samples, float volume) override {
        return startVoiced(std::move(samples), volume, {});
    }
    bool startVoiced(std::shared_ptr<const platform::SampleBuffer> samples, float volume,
                     const platform::Voicing& voicing) override {
        started.push_back({samples.get(), volume, std::chrono::steady_clock::now(), voicing});
        return true;
    }
    void routeTo(const std::string& output) override { routes.push_back(output); }
    std::vector<std::string> routes;
    std::vector<Started> started;
};

// Any non-empty regular file whose first bytes are not "BAD" counts as a sound; each load makes
// its own sample buffer, so tests can tell by the buffer which file a sound came from.
struct FakeSoundLoader : public platform::SoundLoader {
    std::shared_ptr<const platform::Sound> initWithContentsOfFile(
        const std::string& path, platform::LoadBudget& budget) override {
        return made(readBytes(path), path, budget);
    }
    // The same for a sound read from an archive, recorded under its name there.
    std::shared_ptr<const platform::Sound> initWithData(std::span<const std::uint8_t> bytes,
                                                        const std::string& name,
                                                        platform::LoadBudget& budget) override {
        return made(std::string(bytes.begin(), bytes.end()), name, budget);
    }
    std::shared_ptr<const platform::Sound> made(const std::string& bytes, const std::string& path,
                                                platform::LoadBudget& budget) {
        if (bytes.empty() || bytes.rfind("BAD", 0) == 0) return nullptr;
        if (!budget.take(2 * bytes.size() * sizeof(float))) return nullptr;
        auto samples = std::make_shared<platform::SampleBuffer>();
        samples->samples.assign(2 * bytes.size(), 0.5f);  // a frame a byte, for memory budgets
        const std::lock_guard lock(mutex);  // sounds decode on several threads at once
        pathOf[samples.get()] = path;
        return std::make_shared<platform::Sound>(std::move(samples), player);
    }
    std::vector<std::string> soundUnfilteredTypes() const override { return {"wav", "aiff"}; }
    // The file the slot's sound came from ("" for none), below `base` if it lies there.
    std::string fileOf(const SlotRef& slot, const std::string& base, std::size_t i = 0) {
        if (!slot || slot->sounds.size() <= i) return "";
        const std::string& path = pathOf[slot->sounds[i]->samples().get()];
        return path.substr(path.rfind(base + "/", 0) == 0 ? base.size() + 1 : 0);
    }

    std::map<const platform::SampleBuffer*, std::string> pathOf;
    std::shared_ptr<RecordingPlayer> player;
    std::mutex mutex;
};

// The real decoder, counting the files it opens and noting the most its set's budget had read by
// the end of any call.
struct WatchedLoader : platform::SndfileSoundLoader {
    WatchedLoader() : SndfileSoundLoader(nullptr) {}
    SoundRef initWithContentsOfFile(const std::string& path, platform::LoadBudget& b) override {
        ++opened;
        return noted(SndfileSoundLoader::initWithContentsOfFile(path, b), b);
    }
    SoundRef initWithData(std::span<const std::uint8_t> bytes, const std::string& name,
                          platform::LoadBudget& b) override {
        return noted(SndfileSoundLoader::initWithData(bytes, name, b), b);
    }
    std::vector<SoundRef> slicesWithContentsOfFile(const std::string& path,
                                                   const std::vector<platform::SoundSlice>& slices,
                                                   platform::LoadBudget& b) override {
        return noted(SndfileSoundLoader::slicesWithContentsOfFile(path, slices, b), b);
    }
    template <typename T>
    T noted(T result, const platform::LoadBudget& b) {
        const std::lock_guard lock(mutex);
        worked = std::max(worked, b.worked());
        return result;
    }
    std::mutex mutex;
    std::size_t worked = 0;
    std::atomic<int> opened{0};
};

// Stands in for the key backend under the real key event monitor; tests call `handler` as the
// backend would.
struct FakeKeySource : public platform::KeySource {
    std::string name() const override { return "fake"; }
    bool canObserveKeys() override { return ++asked, observable; }
    bool start(std::function<void(const platform::KeyEvent&)> h) override {
        ++starts;
        handler = std::move(h);
        return startable;
    }
    void stop() override {
        ++stops;
        handler = nullptr;
        buttonHandler = nullptr;
    }
    void setButtonHandler(std::function<void(const platform::ButtonEvent&)> h) override {
        buttonHandler = std::move(h);
    }
    std::function<void(const platform::KeyEvent&)> handler;
    std::function<void(const platform::ButtonEvent&)> buttonHandler;  // while clicks are asked for
    int starts = 0, stops = 0, asked = 0;
    bool startable = true, observable = true;
};

// Runs each load in place, or keeps it for the test to run when `held`.
struct InlineWorkQueue : public platform::WorkQueue {
    void run(Job job) override { held ? jobs.push_back(std::move(job)) : finish(job); }
    static void finish(const Job& job) {
        const std::atomic<bool> quitting{false};
        if (const Done done = job(quitting)) done();
    }
    bool held = false;
    std::vector<Job> jobs;
};

struct FakeWorkspace : public platform::Workspace {
    bool openURL(const std::string& url) override {
        opened.push_back(url);
        return result;
    }
    std::vector<std::string> opened;
    bool result = true;
};

// The submenu's items as shown ("*" checked, "/off" disabled, "-" a separator) once it opens;
// `choose` clicks one.
inline QStringList submenu(QMenu& menu, const char* action, const QString& choose = {}) {
    QMenu* sub = itemWithAction(&menu, action)->menu();
    emit sub->aboutToShow();
    QStringList shown;
    for (QAction* item : sub->actions()) {
        shown << (item->isSeparator() ? "-"
                                      : (item->isChecked() ? "*" : "") + item->text() +
                                            (item->isEnabled() ? "" : "/off"));
        if (item->text() == choose) item->trigger();
    }
    return shown;
}

// A controller wired to fakes, with real preferences, bookmarks, open dialog and key event
// monitor, the latter on a fake key source unless the test brings a real one.
struct ControllerRig {
    explicit ControllerRig(bool trusted = true, const std::string& configDir = {},
                           std::unique_ptr<platform::KeySource> source = nullptr)
        : config(configDir.empty() ? dir.path() : configDir),
          defaults(QString::fromStdString(config + "/tapsound.conf")),
          player(std::make_shared<RecordingPlayer>()),
          monitor(orFake(std::move(source)), [this] { return focused; }),
          accessibility(*this->source, [this] { ++prompts; }),
          menu(loadMainInterface(":/MainMenu.xml")) {
        if (keys) keys->observable = trusted;
        loader.player = player;
        AppDelegate::initialize(defaults);
        delegate = std::make_unique<AppDelegate>(
            Platform{
                .userDefaults = defaults, .fileManager = fileManager, .soundLoader = loader,
                .eventMonitor = monitor, .accessibility = accessibility, .workspace = workspace,
                .bookmarks = bookmarks, .workQueue = workQueue,
                .openPanel = [] { return std::make_unique<platform::QtOpenPanel>(); },
                .privacyAccessibilityURL = "file:///usr/share/tapsound/help/index.html",
                .userSetsFolder = dir.file("sets"), .terminate = [this] { ++terminated; },
                .rand = [this] { return ++randCalls, nextRand; }, .srand = [](unsigned) {},
                .trayHosts = {},
                .routeOutput = [this](const std::string& output) { player->routeTo(output); },
            },
            menu.get());
    }
    std::unique_ptr<platform::KeySource> orFake(std::unique_ptr<platform::KeySource> given) {
        if (!given) given = std::make_unique<FakeKeySource>();
        keys = dynamic_cast<FakeKeySource*>(source = given.get());
        return given;
    }
    AppDelegate& operator*() { return *delegate; }
    AppDelegate* operator->() { return delegate.get(); }

    // Opens a sound folder with a sound of its own for each key code, so a sound tells its key.
    void openOneSoundPerKey() {
        for (int code = 1000; code < 1128; ++code)
            writeBytes(dir.file("keys/" + std::to_string(code).substr(1) + ".wav"), "sound");
        delegate->openWithFileURL(dir.file("keys"));
    }
    // A launch with a sound on every key; whether it monitors.
    bool monitorEveryKey() {
        delegate->awakeFromNib();
        delegate->applicationDidFinishLaunching();
        openOneSoundPerKey();
        return delegate->isMonitoring();
    }
    // Reports keys as the backend would: "+56" presses key 56, "-56" releases it, "*56" repeats
    // it, "^57" presses it with the lock known to be on.
    ControllerRig& type(const std::string& typed) {
        std::istringstream in(typed);
        for (std::string k; in >> k;) {
            keys->handler({static_cast<std::uint16_t>(std::stoi(k.substr(1))), k[0] != '-',
                           k[0] == '*', k[0] == '^' ? std::optional(true) : std::nullopt});
        }
        return *this;
    }
    // The names, without extension, of the sounds played since the last call.
    std::vector<std::string> playedNames() {
        std::vector<std::string> names;
        for (const auto& started : player->started) {
            const std::string& path = loader.pathOf[started.samples];
            const auto slash = path.rfind('/') + 1;
            names.push_back(path.substr(slash, path.rfind('.') - slash));
        }
        player->started.clear();
        return names;
    }
    // The key codes played since the last call, from sounds named by key code.
    std::vector<int> played() {
        std::vector<int> codes;
        for (const std::string& name : playedNames()) codes.push_back(std::stoi(name));
        return codes;
    }

    TempDir dir;
    std::string config;
    platform::QtUserDefaults defaults;
    platform::PosixFileManager fileManager;
    std::shared_ptr<RecordingPlayer> player;
    FakeSoundLoader loader;
    FakeKeySource* keys = nullptr;          // the fake one, if no real source was given
    platform::KeySource* source = nullptr;  // owned by the monitor
    bool focused = false;                   // whether one of our windows has the keyboard focus
    platform::KeyEventMonitor monitor;
    platform::KeySourceAccessibility accessibility;
    FakeWorkspace workspace;
    InlineWorkQueue workQueue;
    platform::FileBookmarks bookmarks;
    std::unique_ptr<QMenu> menu;
    std::unique_ptr<AppDelegate> delegate;
    int terminated = 0, prompts = 0, nextRand = 0, randCalls = 0;
};

}  // namespace tapsound::test
