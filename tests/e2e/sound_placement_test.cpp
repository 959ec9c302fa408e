// The real program under a private X server and sound server: keys typed with xdotool heard in
// stereo by where they sit and varied per press, recorded from the null sink; and its Output
// menu, driven as a panel drives it over D-Bus, moving the sound between two null sinks.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QSettings>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <thread>

#include "tests/support/private_session.h"
#include "tests/support/sound_files.h"

namespace tapsound {
namespace {

using namespace std::chrono_literals;
using test::waitFor;

// A panel's StatusNotifierWatcher, so that the program exports its menu.
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

constexpr const char* kOther = "tapsound_other";

// Parameter: the sound server is PipeWire (else PulseAudio).
class SoundPlacement : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(session.ok()) << session.error();
        config = session.dir() + "/config";
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        unsetenv("TAPSOUND_KEYS");
        // Every key plays one 1 kHz tone, mono, as most packs' sounds are.
        const std::string tone = session.dir() + "/tone.wav";
        ASSERT_TRUE(test::writeTone(
            tone, {.sampleRate = 48000, .seconds = 0.04, .frequency = 1000, .amplitude = 0.8}));
        pack = session.dir() + "/pack.zip";
        ASSERT_TRUE(test::writeZip(
            pack, {{"Pack/config.json", R"({"version": 2, "sound": "tone.wav", "defines": {}})"},
                   {"Pack/tone.wav", test::readBytes(tone)}}));
    }
    void TearDown() override {
        test::stopProcess(pid);
        test::stopProcess(listener);
    }

    void start() {
        pid = test::spawn({TAPSOUND_BINARY, pack}, session.dir() + "/tapsound.log");
        ASSERT_TRUE(waitFor([] { return ourStream() >= 0; }, 10s))
            << test::readBytes(session.dir() + "/tapsound.log");
        settle();
    }
    // Ready once a press plays and has ended: the set is loaded, keys are heard and the stream
    // has stopped again.
    void settle() {
        bool played = false;
        for (int attempt = 0; attempt < 20 && !played; ++attempt) {
            test::run({"xdotool", "key", "a"});
            played = waitFor([] { return !ourStreamStopped(); }, 500ms);
        }
        ASSERT_TRUE(played) << "no press played";
        ASSERT_TRUE(waitFor(ourStreamStopped, 10s));
    }
    void stop() { test::stopProcess(pid); }
    void store(const char* key, double value) {
        QSettings settings(QString::fromStdString(config + "/tapsound/tapsound.ini"),
                           QSettings::IniFormat);
        settings.setValue(key, value);
    }
    // The index of the sink our stream plays to; -1 while there is none.
    static int ourStream() {
        QCoreApplication::processEvents();
        std::istringstream inputs(test::capture("pactl list short sink-inputs 2>/dev/null"));
        int index = -1, sink = -1;
        for (std::string line; std::getline(inputs, line);)
            if (std::sscanf(line.c_str(), "%d %d", &index, &sink) == 2) return sink;
        return -1;
    }
    // A new null sink first sleeps through a two-second block, holding back whatever plays to it;
    // a listener keeps it awake like a real device once that block is over.
    void wake(const std::string& sink) {
        if (session.pipewire()) return;  // its null sinks wake up at once
        test::stopProcess(listener);
        listener = test::spawn({"parec", "--raw", "-d", sink + ".monitor", "--latency-msec=5"});
        EXPECT_TRUE(waitFor(
            [&] {
                std::istringstream sinks(test::capture("LC_ALL=C pactl list sinks 2>/dev/null"));
                bool ours = false;
                for (std::string line; std::getline(sinks, line);) {
                    if (line.find("Name: ") != std::string::npos)
                        ours = line.substr(line.find("Name: ") + 6) == sink;
                    long usec = -1;
                    if (ours && std::sscanf(line.c_str(), " Latency: %ld usec", &usec) == 1)
                        return usec >= 0 && usec < 50000;
                }
                return false;
            },
            10s));
    }
    static int sinkIndex(const std::string& name) {
        std::istringstream sinks(test::capture("pactl list short sinks 2>/dev/null"));
        for (std::string line; std::getline(sinks, line);) {
            int index = -1;
            char found[256] = {};
            if (std::sscanf(line.c_str(), "%d %255s", &index, found) == 2 && name == found)
                return index;
        }
        return -2;
    }
    // Our stream has played all it had and stopped (corked, or its node inactive).
    static bool ourStreamStopped() {
        QCoreApplication::processEvents();  // a panel's watcher, if any, keeps answering
        return test::capture("LC_ALL=C pactl list sink-inputs 2>/dev/null").find("Corked: yes") !=
               std::string::npos;
    }
    // What each sink heard while the command ran. Heard again should a recorder itself miss a
    // frame (PipeWire's recorder under load): what it missed cannot be told from a lost sound.
    std::vector<std::vector<float>> heardAfter(const std::string& command,
                                               const std::vector<std::string>& sinks) {
        std::vector<std::vector<float>> heard;
        for (int attempt = 0; attempt < 3; ++attempt) {
            // The graph held at 1024 frames, as another program playing would hold it.
            std::vector<std::unique_ptr<test::MonitorRecorder>> recorders;
            for (const auto& sink : sinks)
                recorders.push_back(std::make_unique<test::MonitorRecorder>(session, 1024, sink));
            EXPECT_EQ(test::run({"sh", "-c", command}), 0);
            // Playing once the first press is read (maybe played and stopped already), then
            // stopped once the last has played.
            waitFor([] { return !ourStreamStopped(); }, 3s);
            EXPECT_TRUE(waitFor(ourStreamStopped, 10s));
            heard.clear();
            std::size_t lost = 0;
            for (auto& recorder : recorders) {
                heard.push_back(recorder->stop());
                // One that never started recording missed it all.
                lost += heard.back().empty() ? 1 : recorder->lostFrames();
            }
            if (lost == 0) return heard;
            ++recorderRetries;
        }
        ADD_FAILURE() << "the recorder kept missing frames";
        return heard;
    }
    int recorderRetries = 0;

    test::PrivateSession session{
        {.display = true, .audio = true, .bus = true, .pipewire = GetParam()}};
    std::string config, pack;
    pid_t pid = -1, listener = -1;
};

double rms(const std::vector<float>& heard, std::size_t from, std::size_t frames, int channel) {
    double sum = 0;
    for (std::size_t f = from; f < from + frames && f * 2 + 1 < heard.size(); ++f)
        sum += heard[f * 2 + channel] * heard[f * 2 + channel];
    return std::sqrt(sum / static_cast<double>(frames));
}

double db(double ratio) { return 20 * std::log10(ratio); }

// A press's tone: its pitch from the first and last upward zero crossing of its body (left
// channel and right summed, so a hard pan loses nothing), and its level over both speakers.
struct Press {
    double hertz = 0, leftMinusRight = 0, level = 0;
};
Press measure(const std::vector<float>& heard, std::size_t onset) {
    const std::size_t from = onset + 120, frames = 1560;
    Press press;
    const double l = rms(heard, from, frames, 0), r = rms(heard, from, frames, 1);
    press.leftMinusRight = db(l / r);
    press.level = db(std::sqrt(l * l + r * r));
    double first = -1, last = -1;
    int crossings = 0;
    for (std::size_t f = from; f + 1 < from + frames; ++f) {
        const double a = heard[f * 2] + heard[f * 2 + 1], b = heard[f * 2 + 2] + heard[f * 2 + 3];
        if (a < 0 && b >= 0) {
            const double at = static_cast<double>(f) + a / (a - b);
            if (first < 0) first = at;
            last = at;
            ++crossings;
        }
    }
    press.hertz = (crossings - 1) * 48000.0 / (last - first);
    return press;
}

// At each width every key sits on its side of the middle, in keyboard order, at the same
// loudness; Off leaves them all in the middle. Printed: the measured table.
TEST_P(SoundPlacement, KeysSoundWhereTheySitAtTheSameLoudness) {
    const char* keys = "Escape a space l Return KP_Enter";
    std::printf("left - right (dB), level (dB): %s\n", keys);
    for (const int width : {0, 1, 2}) {
        SCOPED_TRACE(width);
        store("stereoWidth", width);
        start();
        const auto heard = heardAfter(std::string("xdotool key --delay 250 ") + keys,
                                      {test::PrivateSession::kSinkName})[0];
        const auto onsets = test::findOnsets(heard, 0.01f, 960);
        ASSERT_EQ(onsets.size(), 6u);
        std::vector<Press> presses;
        for (const std::size_t onset : onsets) presses.push_back(measure(heard, onset));
        std::printf("%-6s", width == 0 ? "Off" : width == 1 ? "Narrow" : "Wide");
        for (const Press& p : presses) std::printf("  %+6.2f %6.2f", p.leftMinusRight, p.level);
        std::printf("\n");
        const Press& space = presses[2];
        for (const Press& p : presses) {
            EXPECT_NEAR(p.level, space.level, 0.5);
            EXPECT_NEAR(p.hertz, 1000, 1);
            if (width == 0) {
                EXPECT_NEAR(p.leftMinusRight, 0, 0.1);
            }
        }
        EXPECT_NEAR(space.leftMinusRight, 0, 0.5);
        if (width > 0) {
            EXPECT_GT(presses[0].leftMinusRight, 3.0);   // Escape, left
            EXPECT_LT(presses[5].leftMinusRight, -3.0);  // keypad Enter, right
            for (std::size_t i = 1; i < presses.size(); ++i)
                EXPECT_LT(presses[i].leftMinusRight, presses[i - 1].leftMinusRight) << i;
        }
        stop();
    }
}

// Off plays every press as recorded; More gives each its own pitch and level, within the spread
// (70 cents, 3 dB) and spread out over it.
TEST_P(SoundPlacement, EachPressVariesWithinItsSpread) {
    double reference = 0;  // the level as recorded
    for (const int variation : {0, 2}) {
        SCOPED_TRACE(variation);
        store("varyEachPress", variation);
        start();
        const auto heard = heardAfter("xdotool key --delay 250 a a a a a a a a a a a a",
                                      {test::PrivateSession::kSinkName})[0];
        const auto onsets = test::findOnsets(heard, 0.005f, 960);
        ASSERT_EQ(onsets.size(), 12u);
        std::vector<double> cents, levels;
        for (const std::size_t onset : onsets) {
            const Press p = measure(heard, onset);
            cents.push_back(1200 * std::log2(p.hertz / 1000));
            levels.push_back(p.level);
        }
        if (variation == 0) reference = levels[0];
        const auto [lowCents, highCents] = std::minmax_element(cents.begin(), cents.end());
        const auto [lowLevel, highLevel] = std::minmax_element(levels.begin(), levels.end());
        std::printf("variation %d: cents %+.1f..%+.1f, level %+.2f..%+.2f dB\n", variation,
                    *lowCents, *highCents, *lowLevel - reference, *highLevel - reference);
        if (variation == 0) {
            EXPECT_LT(*highCents - *lowCents, 1.0);
            EXPECT_LT(*highLevel - *lowLevel, 0.1);
        } else {
            EXPECT_GT(*lowCents, -71.0);
            EXPECT_LT(*highCents, 71.0);
            EXPECT_GT(*highCents - *lowCents, 20.0);
            EXPECT_GT(*lowLevel - reference, -3.1);
            EXPECT_LT(*highLevel - reference, 3.1);
            EXPECT_GT(*highLevel - *lowLevel, 0.5);
        }
        stop();
    }
}

QVariantList call(QDBusConnection& bus, const QString& service, const QString& path,
                  const QString& interface, const char* method, const QVariantList& arguments) {
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    return bus.call(message).arguments();
}

// The Output submenu's entries: "[x] Title" checked, "~" disabled; `ids` gets their ids.
void readOutputs(const QDBusArgument& item, bool inside, QStringList& lines,
                 std::map<QString, int>& ids) {
    int id = 0;
    QVariantMap properties;
    item.beginStructure();
    item >> id >> properties;
    const QString label = properties.value("label").toString().remove('_');
    if (inside) {
        QString line = (properties.value("toggle-state") == 1 ? "[x] " : "[ ] ") + label;
        if (properties.value("enabled") == false) line.prepend('~');
        lines << line;
        ids[label] = id;
    }
    item.beginArray();
    while (!item.atEnd()) {
        QDBusVariant child;
        item >> child;
        readOutputs(child.variant().value<QDBusArgument>(), label == "Output", lines, ids);
    }
    item.endArray();
    item.endStructure();
}

// Chosen, the other sink gets the sound at once; unplugged, the default has it and the menu
// keeps the choice; plugged back, the sound goes back there. Printed: how long each move took.
TEST_P(SoundPlacement, TheOutputMenuMovesTheSoundAndFollowsTheChosenOutput) {
    const std::string load = std::string("pactl load-module module-null-sink sink_name=") + kOther +
                             " rate=48000 channels=2 format=float32le"
                             " sink_properties=device.description=Other";
    std::string module = test::capture(load);
    ASSERT_FALSE(module.empty());
    wake(kOther);
    QDBusConnection bus = QDBusConnection::connectToBus(
        QDBusConnection::SessionBus, GetParam() ? "placement-pipewire" : "placement-pulse");
    Watcher watcher;
    ASSERT_TRUE(bus.registerObject("/StatusNotifierWatcher", &watcher,
                                   QDBusConnection::ExportAllContents) &&
                bus.registerService("org.kde.StatusNotifierWatcher"));
    start();
    const auto serving = [](const std::function<bool()>& condition) {
        return waitFor([&] { return QCoreApplication::processEvents(), condition(); }, 10s);
    };
    ASSERT_TRUE(serving([&] { return !watcher.items.isEmpty(); }));
    const QString item = watcher.items.first();
    const QString path = call(bus, item, "/StatusNotifierItem", "org.freedesktop.DBus.Properties",
                              "Get", {"org.kde.StatusNotifierItem", "Menu"})
                             .value(0)
                             .value<QDBusVariant>()
                             .variant()
                             .value<QDBusObjectPath>()
                             .path();
    std::map<QString, int> ids;
    const auto outputs = [&] {
        QStringList lines;
        call(bus, item, path, "com.canonical.dbusmenu", "AboutToShow", {ids["Output"]});
        const auto layout =
            call(bus, item, path, "com.canonical.dbusmenu", "GetLayout", {0, -1, QStringList()});
        std::map<QString, int> found;
        if (layout.size() == 2) readOutputs(layout[1].value<QDBusArgument>(), false, lines, found);
        for (const auto& [label, id] : found) ids[label] = id;
        return lines;
    };
    const auto findId = [&](const QDBusArgument& root) {
        std::function<void(const QDBusArgument&)> walk = [&](const QDBusArgument& node) {
            int id = 0;
            QVariantMap properties;
            node.beginStructure();
            node >> id >> properties;
            if (properties.value("label").toString().remove('_') == "Output") ids["Output"] = id;
            node.beginArray();
            while (!node.atEnd()) {
                QDBusVariant child;
                node >> child;
                walk(child.variant().value<QDBusArgument>());
            }
            node.endArray();
            node.endStructure();
        };
        walk(root);
    };
    findId(call(bus, item, path, "com.canonical.dbusmenu", "GetLayout", {0, -1, QStringList()})
               .value(1)
               .value<QDBusArgument>());
    ASSERT_TRUE(ids.count("Output"));
    ASSERT_TRUE(serving([&] { return outputs().contains("[ ] Other"); }))
        << outputs().join(", ").toStdString();
    EXPECT_EQ(outputs().value(0), "[x] Default");
    const std::vector<std::string> sinks = {test::PrivateSession::kSinkName, kOther};
    // Which sinks heard a press, as "10" (the first), "01" (the other).
    const auto heardOn = [&](const std::vector<std::string>& on) {
        std::string where;
        for (const auto& heard : heardAfter("xdotool key a", on))
            where += test::findOnsets(heard, 0.01f, 960).size() == 1 ? "1" : "0";
        return where;
    };
    EXPECT_EQ(heardOn(sinks), "10");

    const auto movedTo = [&](const std::string& sink, const char* what) {
        const auto began = std::chrono::steady_clock::now();
        const bool moved = serving([&] { return ourStream() == sinkIndex(sink); });
        std::printf(
            "%s: the stream on %s after %.0f ms\n", what, sink.c_str(),
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began)
                .count());
        return moved;
    };
    call(bus, item, path, "com.canonical.dbusmenu", "Event",
         {ids["Other"], "clicked", QVariant::fromValue(QDBusVariant(0)), 0u});
    ASSERT_TRUE(movedTo(kOther, "chosen"));
    EXPECT_EQ(heardOn(sinks), "01");

    test::run({"pactl", "unload-module", module.substr(0, module.find('\n'))});
    ASSERT_TRUE(movedTo(test::PrivateSession::kSinkName, "unplugged"));
    EXPECT_TRUE(serving([&] { return outputs().contains("~[x] Other (not connected)"); }));
    EXPECT_EQ(heardOn({sinks[0]}), "1");

    module = test::capture(load);
    ASSERT_TRUE(movedTo(kOther, "plugged back"));
    wake(kOther);
    settle();
    EXPECT_EQ(heardOn(sinks), "01");
    call(bus, item, path, "com.canonical.dbusmenu", "Event",
         {ids["Default"], "clicked", QVariant::fromValue(QDBusVariant(0)), 0u});
    ASSERT_TRUE(movedTo(test::PrivateSession::kSinkName, "default"));
    EXPECT_EQ(heardOn(sinks), "10");
    // "Default" is the server's, as the user sets it elsewhere.
    test::run({"pactl", "set-default-sink", kOther});
    EXPECT_TRUE(movedTo(kOther, "new default"));
    test::run({"pactl", "set-default-sink", test::PrivateSession::kSinkName});
    EXPECT_TRUE(movedTo(test::PrivateSession::kSinkName, "default again"));
}

INSTANTIATE_TEST_SUITE_P(Servers, SoundPlacement, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PipeWire" : "PulseAudio"; });

}  // namespace
}  // namespace tapsound

#include "sound_placement_test.moc"
