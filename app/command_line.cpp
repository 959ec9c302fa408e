#include "app/command_line.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QUrl>
#include <cstdio>

#include "app/installed_files.h"

namespace tapsound {

namespace {

QString helpText() {
    const QString installed = installedFile("sets");
    return QString(R"(Usage: tapsound [options] [path...]
Plays a short sound on every key press, in any program, from the system tray.

Paths name a sound set to open: a .tapsnd package, a folder of sounds or one sound file. A
tapsound already running opens it; the last one opened is opened again at the next start.

Options:
  -h, --help     Show this help and exit.
  -v, --version  Show the version and exit.

Environment:
  TAPSOUND_KEYS  How keys are heard: "x11" (XInput 2) or "evdev" (the keyboards in /dev/input,
                 as on Wayland). Chosen from the session when unset.

Files:
  %1
      the volume and the last sound set
  %2
      your own sound sets
  %3
      the sound sets installed with tapsound
  %4
      how to let tapsound hear keys on Wayland
  %5
      the udev rule that lets the person at the seat read the keyboards
)")
        .arg(settingsFile(), userSetsFolder(), installed.isEmpty() ? "(none installed)" : installed,
             installedFile("help/index.html"), installedFile("70-tapsound-input.rules"));
}

}  // namespace

CommandLine parseCommandLine(const QStringList& arguments) {
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
    for (const QString& argument : parser.positionalArguments()) {
        if (argument.isEmpty()) continue;
        const QUrl url(argument);
        const QString path = url.isLocalFile() ? url.toLocalFile() : argument;
        result.paths << QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    }
    return result;
}

}  // namespace tapsound
