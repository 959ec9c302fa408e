// The real program on a private X server and sound server (PulseAudio, then PipeWire): keys typed
// with xdotool heard in stereo by where they sit and varied per press, recorded from the null
// sink; its Output menu, clicked as a panel clicks it over D-Bus, moving the sound between sinks.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "tests/support/panel.h"
#include "tests/support/private_session.h"

namespace tapsound {
namespace {

using namespace std::chrono_literals;
using test::waitFor;
constexpr const char* kSink = test::PrivateSession::kSinkName;
constexpr const char* kOther = "tapsound_other";

std::string pactl(const std::string& arguments) {
    QCoreApplication::processEvents();  // the watcher, if any, keeps answering
    return test::capture("LC_ALL=C pactl " + arguments + " 2>/dev/null");
}
QJsonArray listed(const std::string& what) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(pactl("-f json list " + what))).array();
}
// The stream of the tapsound running as pid, as the server lists it; empty while it has none.
// A stream of an earlier run may still be listed for a moment after that run has ended.
QJsonObject ourStream(pid_t pid) {
    QVariantList clients;  // it has more than one connection
    for (const auto entry : listed("clients")) {
        const QJsonObject properties = entry.toObject()["properties"].toObject();
        if (properties["application.process.id"] == QString::number(pid))
            clients << entry.toObject()["index"].toVariant();
    }
    for (const auto entry : listed("sink-inputs")) {
        const QJsonObject stream = entry.toObject();
        if (clients.contains(stream["client"].toVariant())) return stream;
    }
    return {};
}
// The sink the stream plays to, by name; empty while there is none.
std::string sinkOf(const QJsonObject& stream) {
    for (const auto sink : listed("sinks")) {
        if (sink.toObject()["index"] == stream["sink"])
            return sink.toObject()["name"].toString().toStdString();
    }
    return {};
}

class SoundPlacement : public ::testing::TestWithParam<bool> {  // PipeWire?
  protected:
    void SetUp() override {
        ASSERT_TRUE(session.ok()) << session.error();
        config = session.programConfig();
        // Every key plays one 40 ms tone of 1 kHz, mono as most packs' sounds are.
        const std::string tone = session.dir() + "/tone.wav";
        ASSERT_TRUE(
            test::writeTone(tone, {.sampleRate = 48000, .seconds = 0.04, .amplitude = 0.8}));
        ASSERT_TRUE(test::writeZip(
            pack, {{"Pack/config.json", R"({"version": 2, "sound": "tone.wav", "defines": {}})"},
                   {"Pack/tone.wav", test::readBytes(tone)}}));
    }
    void TearDown() override {
        test::stopProcess(pid);
        test::stopProcess(listener);
    }
    std::string ourSink() { return sinkOf(ourStream(pid)); }
    // Our stream has played all it had and stopped (corked, or its node inactive).
    bool stopped() { return ourStream(pid)["corked"].toBool(); }
    void start(int width = 0, int variation = 0) {
        QSettings settings(QString::fromStdString(config + "/tapsound/tapsound.ini"),
                           QSettings::IniFormat);
        settings.setValue("stereoWidth", width);
        settings.setValue("varyEachPress", variation);
        settings.sync();
        test::stopProcess(pid);
        pid = test::spawn({TAPSOUND_BINARY, pack}, session.dir() + "/tapsound.log");
        ASSERT_TRUE(waitFor([this] { return !ourSink().empty(); }, 10s));
        settle();
    }
    // Ready once a press has played and ended: the set loaded, keys heard, the stream stopped.
    void settle() {
        bool played = false;
        for (int attempt = 0; attempt < 20 && !played; ++attempt) {
            test::run({"xdotool", "key", "a"});
            played = waitFor([this] { return !stopped(); }, 500ms);
        }
        ASSERT_TRUE(played && waitFor([this] { return stopped(); }, 10s));
    }
    // A new PulseAudio null sink sleeps through a two-second block first, holding back what
    // plays to it; with a listener it is awake like a real device once that block is over.
    void wake(const std::string& sink) {
        if (GetParam()) return;
        test::stopProcess(listener);
        listener = test::spawn({"parec", "--raw", "-d", sink + ".monitor", "--latency-msec=5"});
        EXPECT_TRUE(waitFor(
            [&] {
                const std::string sinks = pactl("list sinks");
                long usec = -1;
                const auto at = sinks.find("Latency: ", sinks.find("Name: " + sink));
                return at != std::string::npos &&
                       std::sscanf(sinks.c_str() + at, "Latency: %ld", &usec) == 1 && usec < 50000;
            },
            10s));
    }
    // Frames the recorder itself missed lie well away from any sound, in spans too short to hide
    // a whole press.
    static bool missedOnlySilence(const std::vector<float>& heard,
                                  const test::MonitorRecorder& recorder) {
        const std::size_t frames = heard.size() / 2;
        for (std::size_t f = 0, span = 0; f < frames; ++f) {
            span = recorder.lost(f) ? span + 1 : 0;
            if (!span) continue;
            if (span > 1500) return false;
            for (std::size_t g = f > 3000 ? f - 3000 : 0; g < std::min(frames, f + 3000); ++g)
                if (std::fabs(heard[g * 2]) + std::fabs(heard[g * 2 + 1]) > 0.005f) return false;
            f += 3000;  // its neighbourhood is silent
            span = 0;
        }
        return true;
    }
    // What each sink heard while the command ran, the graph held at 1024 frames as another
    // program playing would hold it. Heard again should a recorder itself miss a frame near sound.
    // The keys go one at a time, each once the last has played: xdotool's own delays stretch and
    // shrink on a busy machine, and presses run together would be heard as one.
    std::vector<std::vector<float>> heardAfter(const std::string& keys,
                                               const std::vector<std::string>& sinks) {
        std::vector<std::vector<float>> heard;
        for (int attempt = 0; attempt < 3; ++attempt) {
            std::vector<std::unique_ptr<test::MonitorRecorder>> recorders;
            for (const auto& sink : sinks)
                recorders.push_back(std::make_unique<test::MonitorRecorder>(session, 1024, sink));
            std::istringstream each(keys);
            for (std::string key; each >> key;) {
                EXPECT_EQ(test::run({"xdotool", "key", key}), 0);
                waitFor([this] { return !stopped(); }, 3s);  // maybe played and stopped already
                EXPECT_TRUE(waitFor([this] { return stopped(); }, 10s));
            }
            heard.clear();
            bool missed = false;
            for (auto& recorder : recorders) {
                heard.push_back(recorder->stop());
                missed =
                    missed || heard.back().empty() || !missedOnlySilence(heard.back(), *recorder);
            }
            if (!missed) return heard;
        }
        ADD_FAILURE() << "the recorder kept missing frames";
        return heard;
    }

    test::PrivateSession session{
        {.display = true, .audio = true, .bus = true, .pipewire = GetParam()}};
    std::string config, pack = session.dir() + "/pack.zip";
    pid_t pid = -1, listener = -1;
};

double db(double ratio) { return 20 * std::log10(ratio); }

// A press: left minus right and the level over both speakers, in dB, and its pitch from the
// upward zero crossings of both channels summed.
struct Press {
    double leftMinusRight = 0, level = 0, cents = 0;
};
Press measure(const std::vector<float>& heard, std::size_t onset) {
    double l = 0, r = 0, first = -1, last = -1;
    int crossings = 0;
    for (std::size_t f = onset + 120; f < onset + 1680; ++f) {
        l += heard[f * 2] * heard[f * 2], r += heard[f * 2 + 1] * heard[f * 2 + 1];
        const double a = heard[f * 2] + heard[f * 2 + 1], b = heard[f * 2 + 2] + heard[f * 2 + 3];
        if (a >= 0 || b < 0) continue;
        last = static_cast<double>(f) + a / (a - b);
        first = first < 0 ? last : first;
        ++crossings;
    }
    return {db(std::sqrt(l / r)), db(std::sqrt((l + r) / 1560)),
            1200 * std::log2((crossings - 1) * 48000.0 / (last - first) / 1000)};
}

// At each width every key sits on its side of the middle, in keyboard order, as loud as the
// others; Off leaves them all in the middle. More varies each press within 70 cents and 3 dB.
// Printed: the measured table.
TEST_P(SoundPlacement, KeysSoundWhereTheySitAndEachPressVaries) {
    const struct {
        int width, variation;
        const char* keys;
    } runs[] = {{0, 0, "Escape a space l Return KP_Enter"},
                {1, 0, "Escape a space l Return KP_Enter"},
                {2, 0, "Escape a space l Return KP_Enter"},
                {0, 2, "a a a a a a a a a a a a"}};
    for (const auto& run : runs) {
        SCOPED_TRACE(testing::Message() << run.width << " " << run.variation);
        start(run.width, run.variation);
        const auto heard = heardAfter(run.keys, {kSink})[0];
        const auto onsets = test::findOnsets(heard, 0.005f, 960);
        const std::string keys = run.keys;
        ASSERT_EQ(onsets.size(),
                  static_cast<std::size_t>(std::count(keys.begin(), keys.end(), ' ') + 1));
        std::vector<Press> p;
        std::printf("width %d, variation %d, left - right / level / cents:", run.width,
                    run.variation);
        for (const std::size_t onset : onsets) {
            p.push_back(measure(heard, onset));
            std::printf("  %+.2f %.2f %+.1f", p.back().leftMinusRight, p.back().level,
                        p.back().cents);
        }
        std::printf("\n");
        const auto [low, high] = std::minmax_element(
            p.begin(), p.end(), [](auto& a, auto& b) { return a.cents < b.cents; });
        const auto [quiet, loud] = std::minmax_element(
            p.begin(), p.end(), [](auto& a, auto& b) { return a.level < b.level; });
        if (run.variation) {
            EXPECT_TRUE(low->cents > -71 && high->cents < 71 && high->cents - low->cents > 20);
            EXPECT_TRUE(quiet->level > -11.1 && loud->level < -4.9 &&
                        loud->level - quiet->level > 0.5);
            continue;
        }
        EXPECT_TRUE(high->cents - low->cents < 1 && loud->level - quiet->level < 0.5);
        EXPECT_NEAR(p[2].leftMinusRight, 0, run.width ? 0.5 : 0.1);  // Space
        for (std::size_t i = 1; i < p.size() && run.width; ++i)
            EXPECT_LT(p[i].leftMinusRight, p[i - 1].leftMinusRight) << i;
        EXPECT_TRUE(!run.width || (p[0].leftMinusRight > 3 && p[5].leftMinusRight < -3));
    }
}

// The Output submenu's items as a panel shows them ("Output/[x] Default"), read once it opened.
QStringList outputMenu(test::PanelItem& panel) {
    panel.lines();
    panel.aboutToShow("Output");
    return panel.lines().filter("Output/");
}

// Chosen, another sink gets the sound at once; unplugged, the default has it and the menu keeps
// the choice; plugged back, the sound goes back; "Default" follows the server's default.
// Printed: how long each move took, pactl's polling included.
TEST_P(SoundPlacement, TheOutputMenuMovesTheSoundAndFollowsTheChosenOutput) {
    const std::string load = std::string("load-module module-null-sink sink_name=") + kOther +
                             " rate=48000 channels=2 sink_properties=device.description=Other";
    std::string module = pactl(load);
    module = module.substr(0, module.find('\n'));
    wake(kOther);
    // This test's own bus: the process's session bus connection is to the first test's.
    QDBusConnection bus =
        QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"),
                                      QString::fromStdString(session.dir()));
    test::PanelWatcher watcher;
    ASSERT_TRUE(watcher.offer(bus));
    start();
    ASSERT_TRUE(
        waitFor([&] { return QCoreApplication::processEvents(), !watcher.items.isEmpty(); }, 10s));
    test::PanelItem panel(bus, watcher.items.first());
    const auto menuShows = [&](const QString& line) {
        return waitFor([&] { return outputMenu(panel).contains(line); }, 10s);
    };
    ASSERT_TRUE(menuShows("Output/[ ] Other"));
    EXPECT_EQ(outputMenu(panel).value(0), "Output/[x] Default");
    const auto movedTo = [&](const std::string& sink, const char* what) {
        const auto began = std::chrono::steady_clock::now();
        const bool moved = waitFor([&] { return ourSink() == sink; }, 10s);
        std::printf(
            "%s: on %s after %.0f ms\n", what, sink.c_str(),
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began)
                .count());
        return moved;
    };
    // Which sinks heard one press: "10" the first, "01" the other.
    const auto heardOn = [&](const std::vector<std::string>& sinks) {
        std::string where;
        for (const auto& heard : heardAfter("a", sinks))
            where += test::findOnsets(heard, 0.01f, 960).size() == 1 ? "1" : "0";
        return where;
    };
    EXPECT_EQ(heardOn({kSink, kOther}), "10");
    panel.send("Output/[ ] Other");
    ASSERT_TRUE(movedTo(kOther, "chosen"));
    settle();
    EXPECT_EQ(heardOn({kSink, kOther}), "01");

    pactl("unload-module " + module);
    ASSERT_TRUE(movedTo(kSink, "unplugged"));
    settle();
    EXPECT_TRUE(menuShows("Output/~[x] Other (not connected)"));
    EXPECT_EQ(heardOn({kSink}), "1");

    module = pactl(load);
    ASSERT_TRUE(movedTo(kOther, "plugged back"));
    wake(kOther);
    settle();
    EXPECT_EQ(heardOn({kSink, kOther}), "01");
    outputMenu(panel);
    panel.send("Output/[ ] Default");
    ASSERT_TRUE(movedTo(kSink, "default"));
    pactl(std::string("set-default-sink ") + kOther);
    EXPECT_TRUE(movedTo(kOther, "the server's default"));
}

INSTANTIATE_TEST_SUITE_P(Servers, SoundPlacement, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PipeWire" : "PulseAudio"; });

}  // namespace
}  // namespace tapsound
