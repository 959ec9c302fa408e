#include <malloc.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QMenu>
#include <QSocketNotifier>
#include <QUrl>
#include <cstdio>
#include <cstdlib>

#include "app/app_delegate.h"
#include "app/command_line.h"
#include "app/installed_files.h"
#include "app/main_interface.h"
#include "app/single_instance.h"
#include "app/tray_presence.h"
#include "platform/accessibility_focus.h"
#include "platform/accessibility_keys.h"
#include "platform/application_names.h"
#include "platform/audio_outputs.h"
#include "platform/bookmarks_file.h"
#include "platform/file_manager_posix.h"
#include "platform/focus.h"
#include "platform/key_event_monitor.h"
#include "platform/key_sources.h"
#include "platform/open_panel_qt.h"
#include "platform/session_lock.h"
#include "platform/sound_file.h"
#include "platform/user_defaults_qt.h"
#include "platform/work_queue_thread.h"
#include "platform/workspace_qt.h"

namespace {

int signalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = write(signalPipe[1], &byte, 1);
}

// SIGTERM (logout) and SIGINT (Ctrl+C) end the event loop, so shutdown runs as for Quit.
void quitOnTerminationSignals(QApplication& app) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        char byte = 0;
        [[maybe_unused]] const ssize_t ignored = read(signalPipe[0], &byte, 1);
        app.quit();
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

// Qt ends in abort() (a core dump) when no platform can start; this ends with a reason instead.
QtMessageHandler qtMessages = nullptr;
void exitOnFatalMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type != QtFatalMsg) {
        if (qtMessages) qtMessages(type, context, text);
        return;
    }
    std::fprintf(stderr, "tapsound: cannot start: %s\n", qPrintable(text.section('\n', 0, 0)));
    std::_Exit(EXIT_FAILURE);
}

void say(const std::string& text) { std::fprintf(stderr, "tapsound: %s\n", text.c_str()); }

constexpr const char* kAccessibilityLeftOnKey = "accessibilityLeftOnIn";

QString storedString(const tapsound::platform::UserDefaults& defaults, const char* key) {
    const auto stored = defaults.objectForKey(key);
    const std::string* text = stored ? std::get_if<std::string>(&*stored) : nullptr;
    return text ? QString::fromStdString(*text) : QString();
}

}  // namespace

int main(int argc, char** argv) {
    // One heap for every thread: each thread's own arena (audio, outputs, decoding, D-Bus, X11)
    // kept its pages for the program's life, half a megabyte of private memory for allocations
    // that are few and small outside the main thread.
    mallopt(M_ARENA_MAX, 1);
    const tapsound::CommandLine commandLine = tapsound::parseCommandLine(argc, argv);
    if (commandLine.exitCode) return *commandLine.exitCode;
    bool unreadable = false;
    for (const auto& path : commandLine.paths) {
        if (const auto why = tapsound::whyUnreadable(path.absolute)) {
            say(path.given + ": " + *why);
            unreadable = true;
        }
    }
    if (unreadable) return EXIT_FAILURE;
    // With several paths the last one wins, as if each had been opened in turn.
    const std::optional<tapsound::CommandLinePath> path =
        commandLine.paths.empty() ? std::nullopt : std::optional(commandLine.paths.back());
    const auto noSound = [&path] { say(path->given + ": No sound tapsound can play"); };
    if (const auto why = tapsound::whyNoDisplay()) {
        say(*why);
        return EXIT_FAILURE;
    }

    std::unique_ptr<tapsound::SingleInstance> instance =
        tapsound::SingleInstance::forThisSession();
    using Claim = tapsound::SingleInstance::Claim;
    const Claim claim = instance->claim();
    if (claim == Claim::Running) {
        using Answer = tapsound::SingleInstance::Answer;
        const Answer answer = instance->forward(path ? std::optional(path->absolute) : std::nullopt,
                                                std::chrono::seconds(60));
        if (answer == Answer::Unanswered) say(instance->problem());
        if (answer == Answer::NoSound) noSound();
        return answer == Answer::Opened ? EXIT_SUCCESS : EXIT_FAILURE;
    }
    if (claim == Claim::Alone) {
        say("cannot tell whether tapsound runs already (" + instance->problem() +
            "): running on its own");
    }
    const QString settings = tapsound::settingsFile();
    if (settings.isEmpty()) {
        say("cannot store settings: neither HOME nor XDG_CONFIG_HOME is set");
    }

    qtMessages = qInstallMessageHandler(exitOnFatalMessage);
    QApplication app(argc, argv);
    qInstallMessageHandler(qtMessages);
    QApplication::setApplicationName("tapsound");
    QApplication::setOrganizationName("tapsound");
    QApplication::setDesktopFileName("tapsound");
    QApplication::setQuitOnLastWindowClosed(false);
    // At once: starting up asks the buses and the display, which takes a while on a busy
    // machine, and a logout meanwhile must still end in an orderly quit, settings kept.
    quitOnTerminationSignals(app);

    using namespace tapsound::platform;
    QtUserDefaults userDefaults(settings);
    PosixFileManager fileManager;
    std::shared_ptr<SoundPlayer> player = chooseSoundPlayer();
    SndfileSoundLoader soundLoader(player);
    std::unique_ptr<KeySource> keySource = chooseKeySource();
    KeySource& keys = *keySource;
    KeyEventMonitor eventMonitor(std::move(keySource), [] {
        return QApplication::activeWindow() != nullptr ||
               QApplication::activePopupWidget() != nullptr;
    });
    // The controller tells an untrusted run's user in its tray icon or window.
    KeySourceAccessibility accessibility(keys, nullptr);
    QtWorkspace workspace;
    FileBookmarks bookmarks;
    ThreadWorkQueue workQueue;

    std::unique_ptr<QMenu> keyMenu = tapsound::loadMainInterface(":/MainMenu.xml");
    if (!keyMenu) return EXIT_FAILURE;

    tapsound::AppDelegate::initialize(userDefaults);
    tapsound::AppDelegate delegate(
        tapsound::Platform{
            .userDefaults = userDefaults,
            .fileManager = fileManager,
            .soundLoader = soundLoader,
            .eventMonitor = eventMonitor,
            .accessibility = accessibility,
            .workspace = workspace,
            .bookmarks = bookmarks,
            .workQueue = workQueue,
            .openPanel = [] { return std::make_unique<QtOpenPanel>(); },
            .privacyAccessibilityURL =
                QUrl::fromLocalFile(tapsound::installedFile("help/index.html"))
                    .toString()
                    .toStdString(),
            .userSetsFolder = tapsound::userSetsFolder().toStdString(),
            .terminate = [] { QApplication::quit(); },
            .rand = [] { return std::rand(); },
            .srand = [](unsigned seed) { std::srand(seed); },
            .trayHosts = [] { return tapsound::desktopTrayHosts(std::chrono::seconds(3)); },
            .routeOutput = [player](const std::string& output) { player->routeTo(output); },
        },
        keyMenu.get());
    delegate.awakeFromNib();
    // The server's outputs, heard on the watcher's thread and handed to the controller's.
    const std::unique_ptr<OutputDevices> outputs = watchOutputDevices([&app, &delegate](std::vector<OutputDevice> list) {
        QMetaObject::invokeMethod(
            &app, [&delegate, list = std::move(list)]() mutable { delegate.outputsChanged(std::move(list)); },
            Qt::QueuedConnection);
    });
    SessionLock sessionLock(QDBusConnection::systemBus(), QDBusConnection::sessionBus(),
                            [&delegate](bool locked) { delegate.sessionLockChanged(locked); });
    const std::unique_ptr<WindowFocus> focus =
        chooseWindowFocus([&delegate](const WindowFocus::Window& window) {
            delegate.activeWindowChanged(window.application, window.fullScreen);
        });
    delegate.setActiveWindowKnown(focus != nullptr);
    ApplicationNames applicationNames;
    delegate.setApplicationNames(
        [&applicationNames](const QString& id) { return applicationNames.nameOf(id); });
    std::function<void()> enableReporting;
    AccessibilityFocus passwords(
        QDBusConnection::sessionBus(),
        [&delegate](bool password) { delegate.passwordFocusChanged(password); },
        [&delegate, &enableReporting](bool reporting) {
            delegate.accessibilityReportingChanged(reporting, enableReporting);
        },
        {storedString(userDefaults, kAccessibilityLeftOnKey),
         [&userDefaults](const QString& session) {
             userDefaults.setObjectForKey(session.toStdString(), kAccessibilityLeftOnKey);
             userDefaults.synchronize();  // a kill may come at any time after
         }});
    enableReporting = [&passwords] { passwords.enableReporting(); };

    // Later starts are answered before the launch-time load, however long that takes.
    if (claim == Claim::First) {
        instance->listen([&delegate](const std::string& forwarded, auto reply) {
            delegate.openFromCommandLine(forwarded, std::move(reply));
        });
    }
    if (path) {
        // A set holding no sound is told as a path that cannot be read: this start ends.
        delegate.openFromCommandLine(path->absolute, [noSound](bool heldSound) {
            if (heldSound) return;
            noSound();
            QCoreApplication::exit(EXIT_FAILURE);
        });
    } else {
        delegate.openAtFirstStart(
            tapsound::installedFile("sets/Example.tapsnd").toLocal8Bit().toStdString());
    }
    delegate.applicationDidFinishLaunching();

    QObject::connect(&app, &QCoreApplication::aboutToQuit, &app,
                     [&delegate] { delegate.applicationWillTerminate(); });
    const int status = app.exec();
    // The settings, the socket and the session's accessibility are ours to leave in order;
    // connections and threads are the kernel's and the servers' to close. Tearing them down one
    // by one took 100 ms and more on a busy machine, too long for a logout's SIGTERM.
    userDefaults.synchronize();
    instance.reset();
    passwords.disableReporting();
    std::fflush(nullptr);
    std::_Exit(status);
}
