// The real program beside a StatusNotifier host reading its exported menu as a panel, or no tray.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QRegularExpression>
#include <QSettings>
#include <filesystem>
#include <thread>

#include "tests/support/private_session.h"

namespace tapsound {
namespace {

using namespace std::chrono_literals;

// A panel's StatusNotifierWatcher with its host, served while the test waits.
class Watcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isStatusNotifierHostRegistered)

  public:
    bool isStatusNotifierHostRegistered() const { return true; }
    QStringList items;
  public slots:
    void RegisterStatusNotifierItem(const QString& service) { items << service; }
};

bool waitServing(const std::function<bool()>& condition) {
    return test::waitFor([&] { return QCoreApplication::processEvents(), condition(); }, 10s);
}

QVariantList call(const QString& service, const QString& path, const QString& interface,
                  const char* method, const QVariantList& arguments) {
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    return QDBusConnection::sessionBus().call(message).arguments();
}

// The items as a panel shows them, a line each: "Parent/child" in submenus, "-" a separator,
// "[x] "/"[ ] " a check item, "~" a disabled one; "_" marks a mnemonic.
void readMenu(const QDBusArgument& item, const QString& parent, QStringList& lines,
              std::map<QString, int>& ids) {
    int id = 0;
    QVariantMap properties;
    item.beginStructure();
    item >> id >> properties;
    QString line = properties.value("label").toString().replace("__", "\x01").remove('_');
    line = properties.value("type") == "separator" ? "-" : line.replace('\x01', '_');
    if (properties.contains("toggle-type")) {
        line.prepend(properties.value("toggle-state") == 1 ? "[x] " : "[ ] ");
    }
    if (properties.value("enabled") == false) line.prepend('~');
    if (id != 0) lines << (ids[parent + line] = id, parent + line);
    item.beginArray();
    while (!item.atEnd()) {
        QDBusVariant child;
        item >> child;
        readMenu(child.variant().value<QDBusArgument>(), id ? parent + line + "/" : "", lines, ids);
    }
    item.endArray();
    item.endStructure();
}

class Tray : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(session.ok()) << session.error();
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME"}) {
            setenv(name, (session.dir() + "/" + name).c_str(), 1);
        }
        setenv("QT_QPA_PLATFORM", "xcb", 1);
    }
    test::PrivateSession session{{.display = true, .audio = false, .bus = true}};
};

TEST_F(Tray, ARightClickOnAStatusNotifierHostShowsOurMenuAndItsItemsWork) {
    std::filesystem::create_directories(session.dir() + "/XDG_DATA_HOME/tapsound/sets/R&B_2");
    Watcher watcher;
    QDBusConnection bus = QDBusConnection::sessionBus();
    ASSERT_TRUE(bus.registerObject("/StatusNotifierWatcher", &watcher,
                                   QDBusConnection::ExportAllContents) &&
                bus.registerService("org.kde.StatusNotifierWatcher"));
    pid_t pid = test::spawn({TAPSOUND_BINARY, TAPSOUND_EXAMPLE_SET});
    ASSERT_TRUE(waitServing([&] { return !watcher.items.isEmpty(); }));
    const QString item = watcher.items.first(), sni = "org.kde.StatusNotifierItem";
    const auto menuPath =
        call(item, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get", {sni, "Menu"});
    const QString path =
        menuPath.value(0).value<QDBusVariant>().variant().value<QDBusObjectPath>().path();
    std::map<QString, int> ids;
    const auto menu = [&] {
        QStringList lines;
        const auto layout =
            call(item, path, "com.canonical.dbusmenu", "GetLayout", {0, -1, QStringList()});
        if (layout.size() == 2) readMenu(layout[1].value<QDBusArgument>(), "", lines, ids);
        return lines;
    };
    const auto click = [&](const QString& line) {
        call(item, path, "com.canonical.dbusmenu", "Event",
             {ids[line], "clicked", QVariant::fromValue(QDBusVariant(0)), 0u});
    };
    ASSERT_TRUE(waitServing([&] { return menu().contains("~Example"); })) << "the set loads aside";
    call(item, path, "com.canonical.dbusmenu", "AboutToShow", {ids["Sound Sets"]});
    const QStringList lines = menu();
    EXPECT_EQ(lines.filter(QRegularExpression("^[^/]*$")),
              (QStringList{"Open...", "~Example", "Volume", "-", "Sound Sets", "[ ] Mute",
                           "[x] Silent for Passwords", "[ ] Silent in Full Screen", "~[ ] Silent in Application", "~Silent In",
                           "[ ] Start at Login", "-", "Help", "Quit tapsound"}));
    EXPECT_EQ(lines.filter("/[x]"), (QStringList{"Volume/[x] 50 %", "Sound Sets/[x] Example"}));
    for (const char* line : {"Volume/[ ] 20 %", "[ ] Mute", "Sound Sets/[ ] R&B_2"}) click(line);
    EXPECT_TRUE(waitServing([&] { return menu().contains("~No sounds in R&B_2"); }));
    // An empty set plays nothing, so the volume waits, disabled, as the slider does.
    EXPECT_TRUE(menu().contains("~Volume/[x] 20 %") && menu().contains("[x] Mute"));
    // A left click shows our own menu, the one with the slider.
    call(item, "/StatusNotifierItem", sni, "Activate", {10, 10});
    EXPECT_TRUE(waitServing([] {
        return !test::capture("xdotool search --onlyvisible --classname tapsound").empty();
    }));
    click("Quit tapsound");
    EXPECT_TRUE(waitServing([&] { return waitpid(pid, nullptr, WNOHANG) == pid; }));
    QSettings settings(
        QString::fromStdString(session.dir()) + "/XDG_CONFIG_HOME/tapsound/tapsound.ini",
        QSettings::IniFormat);
    EXPECT_EQ(settings.allKeys(), (QStringList{"Bookmark", "volume"}));
    EXPECT_FLOAT_EQ(settings.value("volume").toFloat(), 0.2f);
}

// Our one visible window larger than a tray icon, if there is one.
std::string window() {
    return test::capture(
        "for w in $(xdotool search --onlyvisible --classname tapsound); do "
        "eval $(xdotool getwindowgeometry --shell $w); [ $WIDTH -gt 100 ] && echo -n $w; done");
}

// With no tray (a session bus but no StatusNotifier host, no XEmbed tray) a window stands in after
// a few seconds; an XEmbed tray appearing takes it away, and it returns when the tray goes.
TEST_F(Tray, WithNoTrayAWindowStandsInUntilOneShowsIcons) {
    pid_t pid = test::spawn({TAPSOUND_BINARY, TAPSOUND_EXAMPLE_SET});
    ASSERT_TRUE(test::waitFor([] { return !window().empty(); }, 10s));
    std::this_thread::sleep_for(500ms);
    // A picture of it, kept beside the test binary for people to look at.
    const std::string spread = test::capture("import -window " + window() +
                                             " no_tray_window.png && convert no_tray_window.png "
                                             "-format '%[fx:standard_deviation]' info:");
    EXPECT_GT(std::atof(spread.c_str()), 0.02) << "the window looks blank";
    pid_t tray = test::spawn({"icewm"});
    EXPECT_TRUE(test::waitFor([] { return window().empty(); }, 10s));
    test::stopProcess(tray);
    EXPECT_TRUE(test::waitFor([] { return !window().empty(); }, 10s));
    EXPECT_EQ(test::stopProcess(pid), 0);
}

}  // namespace
}  // namespace tapsound

#include "tray_test.moc"
