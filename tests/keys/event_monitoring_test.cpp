// What the key backend reports, through the key event monitor and the controller's filter, to the
// sound each key plays.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include "platform/key_source_x11.h"
#include "platform/key_sources.h"
#include "tests/support/fake_platform.h"
#include "tests/support/private_session.h"

namespace tapsound {
namespace {

using namespace platform;
using test::ControllerRig;

TEST(Monitoring, PressesAndModifierChangesThatLeaveACountedModifierDownPlayWhileMonitored) {
    ControllerRig rig;
    ASSERT_TRUE(rig.monitorEveryKey());
    // Shift 56, Command 55, Caps Lock 57, Right Option 61, Right Control 62, Function 63.
    const std::pair<const char*, std::vector<int>> cases[] = {
        // Modifiers sound going down, and going up while a counted one stays down.
        {"+56 *56 +55 +1 -1 -55 -56", {56, 55, 1, 55}},
        // Right-side modifiers count; Function alone does not.
        {"+63 -63 +61 +63 -63 -61 +62 -62", {61, 63, 63, 62}},
        // Caps Lock sounds when switched on, as the backend knows it, and counts for itself only.
        {"+57 -57 +57 -57 ^57 -57 +56 -56 +57 -57", {57, 57, 56}},
    };
    for (const auto& [keys, sounds] : cases) EXPECT_EQ(rig.type(keys).played(), sounds) << keys;
    rig.focused = true;  // typed into our own window: heard once, by the local monitor
    EXPECT_EQ(rig.type("+12 -12").played(), std::vector<int>{12});
    // The key source runs only while monitored, and monitors are installed once.
    rig->startEventMonitor();
    EXPECT_EQ(rig.type("+3").played(), std::vector<int>{3});
    // Monitors replaced in one go (a set swapped) keep the source: no press falls between.
    rig->endEventMonitor();
    rig->startEventMonitor();
    QCoreApplication::processEvents();
    EXPECT_EQ(rig.keys->stops, 0);
    rig->endEventMonitor();
    rig->endEventMonitor();
    QCoreApplication::processEvents();
    EXPECT_FALSE(rig->isMonitoring());
    EXPECT_EQ(rig.keys->stops, 1);
    rig.keys->startable = false;  // as where no keyboard can be read
    rig->startEventMonitor();
    EXPECT_FALSE(rig->isMonitoring());
    rig.keys->startable = true;
    rig->startEventMonitor();  // a later start tries again
    EXPECT_TRUE(rig->isMonitoring());
    rig->applicationWillTerminate();
    QCoreApplication::processEvents();
    EXPECT_FALSE(rig.monitor.isSourceRunning());
}

// A set with release sounds (a folder named by kernel key code): a release plays its key's release
// sound once, however long the key was held, only when its press was heard, and not at all once a
// set without release sounds replaces it.
TEST(KeyUp, AReleaseWhosePressWasHeardPlaysItsReleaseSound) {
    ControllerRig rig;
    const std::string folder = rig.dir.file("kernel");
    // A (0x1e), Left Shift (0x2a), Caps Lock (0x3a) with both sounds; Space (0x39) pressed only.
    for (const char* name : {"1e-1", "1e-0", "2a-1", "2a-0", "3a-1", "3a-0", "39-1"})
        test::writeBytes(folder + "/" + name + ".ogg", "sound");
    rig->awakeFromNib();
    rig->applicationDidFinishLaunching();
    rig->openWithFileURL(folder);
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"+0 *0 *0 -0", {"1e-1", "1e-0"}}, {"-0", {}},          {"+56 -56", {"2a-1", "2a-0"}},
        {"+57 -57", {"3a-1", "3a-0"}},     {"+49 -49", {"39-1"}}, {"+0", {"1e-1"}}};
    for (const auto& [keys, sounds] : cases)
        EXPECT_EQ(rig.type(keys).playedNames(), sounds) << keys;
    rig.openOneSoundPerKey();  // key 0 comes up once a set without release sounds is in
    EXPECT_EQ(rig.type("-0 +1 -1").played(), std::vector<int>({1}));
}

// A program flooding the X server with key presses (XTest, as fast as it can) is heard at most
// a few hundred times a second, and the event loop keeps turning meanwhile: a timer fires, as
// the SIGTERM handler's notifier must.
TEST(KeyFlood, PressesBeyondHearingAreDroppedAndTheEventLoopTurns) {
    test::PrivateSession session{{.display = true, .audio = false}};
    ASSERT_TRUE(session.ok()) << session.error();
    ControllerRig rig(true, {}, std::make_unique<X11KeySource>());
    ASSERT_TRUE(rig.monitorEveryKey());
    std::optional<test::KeyFlood> flood{std::in_place};
    const auto started = std::chrono::steady_clock::now();
    // Until a second's worth past the burst is heard, however slowly a busy server delivers; a
    // timer checks, so it must fire through the flood.
    const double enough = PressLimiter::kBurst + PressLimiter::kPerSecond;
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (double(rig.player->started.size()) >= enough || flood->gaveUp()) loop.quit();
    });
    poll.start(10);
    loop.exec();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const bool gaveUp = flood->gaveUp();
    flood.reset();
    EXPECT_FALSE(gaveUp) << "the event loop stood still, or heard too little, for 20 s of flood";
    const auto heard = static_cast<double>(rig.played().size());
    EXPECT_GE(heard, enough);
    EXPECT_LE(heard, PressLimiter::kBurst + PressLimiter::kPerSecond * (seconds + 0.5));
}

// R = trunc(r * 2^-31 * 2147483647) picks the first sound whose threshold exceeds it: with equal
// weights the first r that reaches 1073741823 plays b. A leading zero weight is never chosen; a
// threshold of 2147483647 before the last sound keeps the last from playing, but truncation
// leaves 2147483646, so the top draw reaches a last weight of 0. A single weighted sound still
// draws; a single sound or an empty slot does not. Weights are integers, reals, strings, booleans,
// missing (1) or negative (1), read alike from an XML and a binary soundset.plist
// (data/draws.plist).
TEST(Playback, EachPressDrawsOnceFromAWeightedSlot) {
    const std::string soundset = test::readBytes(TAPSOUND_TEST_DATA "/draws.plist");
    const struct {
        int key, r;
        std::vector<std::string> plays;  // none: silent
        int draws;
    } cases[] = {{0, 0, {"a"}, 1},          {0, 1073741823, {"a"}, 1}, {0, 1073741824, {"b"}, 1},
                 {0, 2147483647, {"b"}, 1}, {1, 0, {"b"}, 1},          {1, 2147483647, {"b"}, 1},
                 {5, 2147483646, {"b"}, 1}, {5, 2147483647, {"c"}, 1}, {6, 1073741823, {"a"}, 1},
                 {6, 1073741824, {"b"}, 1}, {14, 536870911, {"a"}, 1}, {14, 536870912, {"b"}, 1},
                 {2, 12345, {"c"}, 1},      {9, 77, {"d"}, 0},         {255, 0, {"d"}, 0},
                 {3, 77, {}, 0},            {256, 0, {}, 0},           {-1, 0, {}, 0}};
    for (const std::string& form : {soundset, test::binaryPropertyList(soundset)}) {
        ControllerRig rig;
        const std::string package = rig.dir.file("Draws.tapsnd");
        const std::string sounds = package + "/Contents/Resources/sounds/";
        for (const char* name : {"a", "b", "c", "d"})
            test::writeBytes(sounds + name + ".wav", "sound");
        test::writeBytes(package + "/Contents/Resources/soundset.plist", form);
        rig->awakeFromNib();
        rig->openWithFileURL(package);
        for (const auto& c : cases) {
            rig.nextRand = c.r;
            rig.randCalls = 0;
            rig->playSoundWithKeyCode(c.key);
            SCOPED_TRACE(testing::Message()
                         << form.substr(0, 6) << " key " << c.key << " r " << c.r);
            EXPECT_EQ(rig.randCalls, c.draws);
            EXPECT_EQ(rig.playedNames(), c.plays);
        }
    }
}

}  // namespace
}  // namespace tapsound
