#include "app/command_line.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QByteArray>
#include <QCommandLineParser>
#include <QStringList>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/autostart.h"
#include "app/installed_files.h"
#include "app/sound_sets.h"

// Last: Xlib's macros would clash with Qt's names.
#include <X11/Xlib.h>

namespace tapsound {

namespace {

QString helpText() {
    const QString installed = installedFile("sets");
    QString settings = settingsFile(), autostart = autostartFile();
    if (settings.isEmpty())
        settings = autostart = "(none: neither HOME nor XDG_CONFIG_HOME is set)";
    return QString(R"(Usage: tapsound [options] [path...]
Plays a short sound on every key press, in any program, from the system tray.

Each path names a sound set to open; with several, the last one is opened. A tapsound already
running in this graphical session opens it; the last set opened is opened again at the next start,
and the first start opens the installed example set. A sound set is:
  - a .tapsnd package (a folder holding Contents/Resources/sounds and soundset.plist);
  - a folder of sounds named by key code, or a single sound file every key plays;
  - a Mechvibes pack: a folder holding config.json, or a .zip holding one;
  - a folder of sounds named by kernel key code ("1e-1.wav" pressed, "1e-0.wav" released).
Scroll Lock pressed twice within half a second mutes and unmutes.

Options:
  -h, --help     Show this help and exit.
  -v, --version  Show the version and exit.

Environment:
  TAPSOUND_KEYS   How keys are heard: "x11" (XInput 2) or "evdev" (the keyboards in /dev/input,
                  as on Wayland). Chosen from the session when unset.
  TAPSOUND_AUDIO  Where sound goes: "pipewire" or "pulse" (PulseAudio, or PipeWire's pulse
                  server). PipeWire when its daemon answers, else PulseAudio, when unset.

Files:
  %1
      the volume and the last sound set
  %2
      written by Start at Login
  %3
      your own sound sets
  %4
      the sound sets installed with tapsound
  %5
      Mechvibes' own pack folders, also listed under Sound Sets
  %6
      how to let tapsound hear keys on Wayland
  %7
      the udev rule that lets the person at the seat read the keyboards

Exit status: 0 when tapsound ran or the running one opened the path; 1 when a path cannot be
opened or holds no sound, or there is no display; 2 for an unknown option.
)")
        .arg(settings, autostart, userSetsFolder(),
             installed.isEmpty() ? "(none installed)" : installed, mechvibesFolders().join("\n  "),
             installedFile("help/index.html"), installedFile("70-tapsound-input.rules"));
}

// "/a/./b//c/../d" as "/a/b/d", without asking the file system (a link stays as named).
std::string cleanPath(const std::string& path) {
    std::vector<std::string> parts;
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string clean;
    for (const std::string& part : parts) clean += "/" + part;
    return clean.empty() ? "/" : clean;
}

// A file: URL names a local path, percent-encoded; anything else is a path as it stands.
std::string localPath(const std::string& argument) {
    if (argument.rfind("file:", 0) != 0) return argument;
    std::string rest = argument.substr(5);
    if (rest.rfind("//", 0) == 0) {
        const auto slash = rest.find('/', 2);
        const std::string host = rest.substr(2, slash == std::string::npos ? slash : slash - 2);
        if (!host.empty() && host != "localhost") return argument;
        rest = slash == std::string::npos ? "/" : rest.substr(slash);
    }
    const QByteArray decoded = QByteArray::fromPercentEncoding(QByteArray::fromStdString(rest));
    return decoded.toStdString();
}

std::string absolutePath(const std::string& path) {
    if (!path.empty() && path.front() == '/') return cleanPath(path);
    std::vector<char> cwd(4096);
    while (!getcwd(cwd.data(), cwd.size())) {
        if (errno != ERANGE || cwd.size() > (1u << 20)) return cleanPath("/" + path);
        cwd.resize(cwd.size() * 2);
    }
    return cleanPath(std::string(cwd.data()) + "/" + path);
}

}  // namespace

CommandLine parseCommandLine(int argc, char** argv) {
    // Qt reads the options; the paths are taken from argv as bytes.
    QStringList arguments;
    std::vector<std::string> positional;
    bool onlyPaths = false;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
        const std::string argument = argv[i];
        if (i == 0) continue;
        if (!onlyPaths && argument == "--") {
            onlyPaths = true;
        } else if (onlyPaths || argument.size() < 2 || argument.front() != '-') {
            if (!argument.empty()) positional.push_back(argument);
        }
    }
    QCommandLineParser parser;
    const QCommandLineOption help({"h", "help"}, {}), version({"v", "version"}, {});
    parser.addOptions({help, version});
    CommandLine result;
    if (!parser.parse(arguments)) {
        std::fprintf(stderr, "tapsound: %s\nTry 'tapsound --help'.\n",
                     qPrintable(parser.errorText()));
        result.exitCode = 2;
    } else if (parser.isSet(help)) {
        std::fputs(qPrintable(helpText()), stdout);
        result.exitCode = 0;
    } else if (parser.isSet(version)) {
        std::puts("tapsound " TAPSOUND_VERSION);
        result.exitCode = 0;
    }
    for (const std::string& argument : positional) {
        result.paths.push_back({argument, absolutePath(localPath(argument))});
    }
    return result;
}

std::optional<std::string> whyUnreadable(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return std::string(std::strerror(errno));
    if (S_ISDIR(st.st_mode)) {
        if (access(path.c_str(), R_OK | X_OK) != 0) return std::string(std::strerror(errno));
    } else if (S_ISREG(st.st_mode)) {
        if (access(path.c_str(), R_OK) != 0) return std::string(std::strerror(errno));
    } else {
        return std::string("Not a file or folder");
    }
    return std::nullopt;
}

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::optional<std::string> whyNoWayland(const std::string& display) {
    const std::string path =
        display.front() == '/' ? display : environment("XDG_RUNTIME_DIR") + "/" + display;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return std::string(std::strerror(ENAMETOOLONG));
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::string(std::strerror(errno));
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    const int error = errno;
    close(fd);
    if (connected) return std::nullopt;
    return std::string(std::strerror(error));
}

}  // namespace

std::optional<std::string> whyNoDisplay() {
    const std::string platform = environment("QT_QPA_PLATFORM");
    const bool x11 = platform.empty() || platform.find("xcb") != std::string::npos;
    const bool wayland = platform.empty() || platform.find("wayland") != std::string::npos;
    if (!x11 && !wayland) return std::nullopt;  // offscreen and the like need no display
    const std::string xDisplay = x11 ? environment("DISPLAY") : "",
                      waylandDisplay = wayland ? environment("WAYLAND_DISPLAY") : "";
    if (xDisplay.empty() && waylandDisplay.empty()) {
        return x11 && wayland ? "no display: neither DISPLAY nor WAYLAND_DISPLAY is set"
               : x11          ? "no display: DISPLAY is not set"
                              : "no display: WAYLAND_DISPLAY is not set";
    }
    std::string why;
    if (!waylandDisplay.empty()) {
        const auto error = whyNoWayland(waylandDisplay);
        if (!error) return std::nullopt;
        why = "cannot connect to Wayland display " + waylandDisplay + ": " + *error;
    }
    if (!xDisplay.empty()) {
        if (Display* display = XOpenDisplay(xDisplay.c_str())) {
            XCloseDisplay(display);
            return std::nullopt;
        }
        why += (why.empty() ? "" : "; ") + std::string("cannot connect to X display ") + xDisplay;
    }
    return why;
}

}  // namespace tapsound
