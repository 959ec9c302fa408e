// The real program beside a StatusNotifier tray host on a private session bus: the menu it
// exports, read and clicked over D-Bus (com.canonical.dbusmenu) as a panel does.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QSettings>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "tests/support/private_session.h"
#include "tests/support/status_notifier_watcher.h"

namespace tapsound {
namespace {

using namespace std::chrono_literals;

struct MenuItem {
    int id = 0;
    QString shown;  // "-" for a separator; "[x] " or "[ ] " before a check item; "~" when disabled
    std::vector<MenuItem> children;
};

MenuItem readItem(const QDBusArgument& argument) {
    MenuItem item;
    QVariantMap properties;
    argument.beginStructure();
    argument >> item.id >> properties;
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        item.children.push_back(readItem(child.variant().value<QDBusArgument>()));
    }
    argument.endArray();
    argument.endStructure();
    // "_" marks a mnemonic, "__" is an underscore.
    QString label = properties.value("label").toString();
    label.replace("__", "\x01").remove('_').replace('\x01', '_');
    if (properties.value("type") == "separator") label = "-";
    if (properties.contains("toggle-type")) {
        label.prepend(properties.value("toggle-state").toInt() == 1 ? "[x] " : "[ ] ");
    }
    if (properties.value("enabled", true) == false) label.prepend('~');
    item.shown = label;
    return item;
}

class ExportedMenu {
  public:
    ExportedMenu(const QString& service, const QString& path) : _service(service), _path(path) {}
    MenuItem layout(int parent = 0) {
        const QDBusMessage reply = call("GetLayout", {parent, -1, QStringList()});
        if (reply.arguments().size() < 2) return {};
        return readItem(reply.arguments()[1].value<QDBusArgument>());
    }
    QStringList shown(int parent = 0) {
        QStringList lines;
        for (const MenuItem& item : layout(parent).children) lines << item.shown;
        return lines;
    }
    int idOf(const QString& shown, int parent = 0) {
        for (const MenuItem& item : layout(parent).children) {
            if (item.shown == shown) return item.id;
        }
        return -1;
    }
    void aboutToShow(int id) { call("AboutToShow", {id}); }
    void click(int id) {
        call("Event", {id, QString("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u});
    }

  private:
    QDBusMessage call(const char* method, const QVariantList& arguments) {
        QDBusMessage message =
            QDBusMessage::createMethodCall(_service, _path, "com.canonical.dbusmenu", method);
        message.setArguments(arguments);
        return QDBusConnection::sessionBus().call(message, QDBus::Block, 5000);
    }
    QString _service, _path;
};

TEST(StatusNotifierTray, ARightClickShowsOurMenuAndItsItemsWork) {
    test::PrivateSession session{{.display = true, .audio = false, .bus = true}};
    ASSERT_TRUE(session.ok()) << session.error();
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME"}) {
        setenv(name, (session.dir() + "/" + name).c_str(), 1);
    }
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    std::filesystem::create_directories(session.dir() + "/XDG_DATA_HOME/tapsound/sets/R&B_2");
    test::StatusNotifierWatcher watcher;
    ASSERT_TRUE(watcher.ok());
    pid_t pid = test::spawn({TAPSOUND_BINARY, TAPSOUND_EXAMPLE_SET}, session.dir() + "/log");
    ASSERT_TRUE(test::waitFor([&] { return !watcher.items().isEmpty(); }, 10s))
        << test::readBytes(session.dir() + "/log");
    const QString service = watcher.items().first();
    QDBusMessage get = QDBusMessage::createMethodCall(service, "/StatusNotifierItem",
                                                      "org.freedesktop.DBus.Properties", "Get");
    get << QString("org.kde.StatusNotifierItem") << QString("Menu");
    const QDBusMessage path = QDBusConnection::sessionBus().call(get);
    ASSERT_EQ(path.arguments().size(), 1) << path.errorMessage().toStdString();
    ExportedMenu menu(
        service,
        path.arguments()[0].value<QDBusVariant>().variant().value<QDBusObjectPath>().path());
    // The set loads aside; its name shows once it has.
    ASSERT_TRUE(test::waitFor([&] { return menu.shown().value(1) == "~Example"; }, 5s))
        << menu.shown().join('|').toStdString();
    EXPECT_EQ(menu.shown(),
              (QStringList{"Open...", "~Example", "Volume", "-", "Sound Sets", "[ ] Mute",
                           "[ ] Start at Login", "-", "Help", "Quit tapsound"}));
    const int sets = menu.idOf("Sound Sets"), volume = menu.idOf("Volume");
    menu.aboutToShow(sets);
    EXPECT_EQ(menu.shown(sets), (QStringList{"[ ] R&B_2", "-", "[x] Example"}));
    menu.aboutToShow(volume);
    EXPECT_EQ(menu.shown(volume).filter("[x]"), QStringList{"[x] 50 %"});
    EXPECT_EQ(menu.shown(volume).size(), 11);

    menu.click(menu.idOf("[ ] 20 %", volume));
    menu.click(menu.idOf("[ ] Mute"));
    menu.click(menu.idOf("[ ] R&B_2", sets));
    EXPECT_TRUE(test::waitFor([&] { return menu.shown().value(1) == "~No sounds in R&B_2"; }, 5s));
    EXPECT_EQ(menu.shown(volume).filter("[x]"), QStringList{"[x] 20 %"});
    EXPECT_EQ(menu.shown().value(5), "[x] Mute");

    // A left-click shows our own menu, the one with the slider.
    QDBusMessage activate = QDBusMessage::createMethodCall(
        service, "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate");
    activate << 10 << 10;
    QDBusConnection::sessionBus().call(activate);
    EXPECT_TRUE(test::waitFor(
        [] { return !test::capture("xdotool search --onlyvisible --classname tapsound").empty(); },
        5s));

    menu.click(menu.idOf("Quit tapsound"));
    EXPECT_TRUE(test::waitFor([&] { return waitpid(pid, nullptr, WNOHANG) == pid; }, 5s));
    pid = -1;
    QSettings settings(
        QString::fromStdString(session.dir() + "/XDG_CONFIG_HOME/tapsound/tapsound.ini"),
        QSettings::IniFormat);
    EXPECT_FLOAT_EQ(settings.value("volume").toFloat(), 0.2f);
    EXPECT_FALSE(settings.contains("mute"));
}

// Our visible windows larger than a tray icon.
std::vector<std::string> largeWindows() {
    const std::string ids = test::capture(
        "for w in $(xdotool search --onlyvisible --classname tapsound); do "
        "eval $(xdotool getwindowgeometry --shell $w); "
        "[ $WIDTH -gt 100 ] && echo $w; done");
    std::vector<std::string> large;
    std::istringstream lines(ids);
    for (std::string id; lines >> id;) large.push_back(id);
    return large;
}

// With no tray (a session bus without a StatusNotifier host, no XEmbed tray) a window stands in
// after a few seconds; an XEmbed tray appearing takes it away, and it returns when the tray goes.
TEST(NoTray, AWindowStandsInWhileNoTrayShowsIcons) {
    test::PrivateSession session{{.display = true, .audio = false, .bus = true}};
    ASSERT_TRUE(session.ok()) << session.error();
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME"}) {
        setenv(name, (session.dir() + "/" + name).c_str(), 1);
    }
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    pid_t pid = test::spawn({TAPSOUND_BINARY, TAPSOUND_EXAMPLE_SET}, session.dir() + "/log");
    ASSERT_TRUE(test::waitFor([] { return largeWindows().size() == 1; }, 10s));
    std::this_thread::sleep_for(500ms);
    // A picture of it, kept beside the test binary for people to look at.
    const std::string spread =
        test::capture("import -window " + largeWindows().front() +
                      " no_tray_window.png && "
                      "convert no_tray_window.png -format '%[fx:standard_deviation]' info:");
    EXPECT_GT(std::atof(spread.c_str()), 0.02) << "the window looks blank";

    pid_t tray = test::spawn({"icewm"}, session.dir() + "/icewm.log");
    EXPECT_TRUE(test::waitFor([] { return largeWindows().empty(); }, 10s));
    EXPECT_FALSE(test::capture("xdotool search --onlyvisible --classname tapsound").empty())
        << "the tray icon";
    test::stopProcess(tray);
    EXPECT_TRUE(test::waitFor([] { return largeWindows().size() == 1; }, 10s));
    EXPECT_EQ(test::stopProcess(pid), 0);
}

}  // namespace
}  // namespace tapsound
