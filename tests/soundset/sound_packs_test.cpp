// Sound packs of other keyboard-sound programs, in folders and zips, read into their tables, and
// plain folders of sounds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sndfile.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>

#include "platform/property_list.h"
#include "platform/sound_file.h"
#include "platform/virtual_keys.h"
#include "soundset/pack_tables.h"
#include "soundset/sound_scan.h"
#include "soundset/zip_archive.h"
#include "tests/support/fake_platform.h"

namespace tapsound {
namespace {

using platform::kernelKeyForScancode;
using platform::virtualKeyCodeForKernelKey;

struct Packs : ::testing::Test {
    std::string fileOf(const SlotRef& slot, std::size_t i = 0) {
        return loader.fileOf(slot, dir.path(), i);
    }
    void write(const std::string& name, const std::string& bytes) {
        ASSERT_TRUE(test::writeBytes(dir.file(name), bytes));
    }
    std::optional<PackTables> open(const std::string& name) {
        return configJsonPackAtPath(dir.file(name), files, loader);
    }
    test::TempDir dir;
    platform::PosixFileManager files;
    test::FakeSoundLoader loader;
    platform::SndfileSoundLoader real{nullptr};  // where the samples themselves count
};

// Set-1 scancodes by family, each with the virtual key code it plays. Where two codes name one
// key, the first row is the one a pack defining both plays.
constexpr std::pair<unsigned, int> kScancodes[] = {
    {0x1E, 0x00},   {0x10, 0x0C},   {0x02, 0x12},   {0x0B, 0x1D},   {0x1C, 36},     {0x39, 49},
    {0x3B, 0x7A},   {0x44, 0x6D},   {0x57, 0x67},   {0x58, 0x6F},   {0x53, 0x41},   {0x0E37, 0x69},
    {91, 0x69},     {92, 0x6B},     {0x0E45, 0x71}, {93, 0x71},     {99, 0x6A},     {100, 0x40},
    {103, 0x5A},    {107, -1},      {0x0E1C, 0x4C}, {0x0E1D, 62},   {0x0E35, 0x4B}, {0x0E38, 61},
    {0x0E47, 0x73}, {0xE048, 0x7E}, {0xEE48, 0x7E}, {0x0E49, 0x74}, {0xE04B, 0x7B}, {0xE04D, 0x7C},
    {0x0E4F, 0x77}, {0xE050, 0x7D}, {0x0E51, 0x79}, {0x0E52, 0x72}, {0x0E53, 0x75}, {0xEE53, 0x75},
    {0x0E5B, 55},   {0x0E5C, 54},   {0x0E5D, 0x6E}, {0, -1},        {89, -1},       {0x0E00, -1},
    {0x10048, -1},
};

TEST_F(Packs, EveryScancodeFamilyPlaysItsOwnKey) {
    std::string defines;
    std::map<int, std::string> expected;
    for (const auto& [code, virtualCode] : kScancodes) {
        const auto kernel = kernelKeyForScancode(code);
        const auto got = kernel ? virtualKeyCodeForKernelKey(*kernel) : std::nullopt;
        EXPECT_EQ(got ? int(*got) : -1, virtualCode) << code;
        const std::string file = "k" + std::to_string(code) + ".wav";
        write(file, "sound");
        defines += "\"" + std::to_string(code) + "\": \"" + file + "\",";
        if (virtualCode >= 0) expected.emplace(virtualCode, file);
    }
    write("config.json", "{\"key_define_type\": \"multi\", \"defines\": {" + defines + "}}");
    const auto pack = open("");
    ASSERT_TRUE(pack);
    for (int code = 0; code < int(kKeyCodeCount); ++code)
        EXPECT_EQ(fileOf(pack->press[code]), expected[code]) << code;
}

TEST_F(Packs, MultiAndVersion2PacksResolveFilesVariantsAndFallbacks) {
    for (const char* name :
         {"press/a.wav", "press/Space.WAV", "up/a.wav", "all.wav", "allup.wav", "v1.wav", "v2.wav",
          "v4.wav", "x07.wav", "x08.wav", "x09.wav", "x10.wav"})
        write(std::string("p/") + name, "sound");
    write("p/press/bad.wav", "BAD");
    write("outside.wav", "sound");
    // A: a subfolder; A up; Space: "\" and other case; S: missing; D: undecodable; F: outside;
    // G: null; Q: variants with a gap; W: padded variants; E: a file as written ("{" in the name).
    const std::string defines = R"("30": "press/a.wav", "30-up": "up\\A.wav",
        "57": "PRESS\\space.wav", "31": "press/none.wav", "32": "press/bad.wav",
        "33": "../outside.wav", "34": null, "16": "v{1-4}.wav", "17": "x{07-10}.wav")";
    write("p/config.json",
          R"({"key_define_type": "multi", "sound": "all.wav", "defines": {)" + defines + "}}");
    auto v1 = open("p");
    ASSERT_TRUE(v1);
    const int A = 0x00, S = 0x01, D = 0x02, F = 0x03, G = 0x05, Q = 0x0C, W = 0x0D, Space = 49;
    EXPECT_EQ(fileOf(v1->press[A]), "p/press/a.wav");
    EXPECT_EQ(fileOf(v1->release[A]), "p/up/a.wav");
    EXPECT_EQ(fileOf(v1->press[Space]), "p/press/Space.WAV");
    for (int silent : {S, D, F, G, 0x04}) EXPECT_FALSE(v1->press[silent]) << silent;
    EXPECT_FALSE(v1->release[Space]);
    ASSERT_TRUE(v1->press[Q] && v1->press[Q]->weighted);
    ASSERT_EQ(v1->press[Q]->sounds.size(), 3u);
    EXPECT_EQ(fileOf(v1->press[Q], 2), "p/v4.wav");
    EXPECT_EQ(v1->press[Q]->thresholds, (std::vector<std::int32_t>{715827882, 1431655764}));
    ASSERT_EQ(v1->press[W]->sounds.size(), 4u);
    EXPECT_EQ(fileOf(v1->press[W], 0), "p/x07.wav");

    // Version 2: fallbacks for keys without their own, null included; own misses stay silent.
    write("p/config.json", "\xEF\xBB\xBF" R"({"version": "2", "sound": "all.wav",
        "soundup": "allup.wav", "extra": [1, {"x": 2},], "defines": {)" + defines + ",},}");
    auto v2 = open("p/config.json");
    ASSERT_TRUE(v2);
    EXPECT_EQ(fileOf(v2->press[A]), "p/press/a.wav");
    EXPECT_EQ(fileOf(v2->press[G]), "p/all.wav");
    EXPECT_EQ(fileOf(v2->release[Space]), "p/allup.wav");
    EXPECT_FALSE(v2->press[S]);
    EXPECT_EQ(v2->press[0x04], v2->press[0x7E]);  // one shared fallback slot
}

TEST_F(Packs, ConfigsThatAreNotPacksLeaveTheLocationToTheNextForm) {
    write("folder/a.wav", "sound");
    EXPECT_FALSE(open("folder"));
    for (const std::string& config :
         {std::string("{\"defines\": {\"30\": \"a.wav\""), std::string("[1, 2]"),
          std::string("{\"name\": \"x\"}"), std::string(5 << 20, ' ')}) {
        write("folder/config.json", config);
        EXPECT_FALSE(open("folder")) << config.substr(0, 40);
    }
    write("folder/config.json", "{\"defines\": {\"30\": \"gone.wav\"}}");
    const auto empty = open("folder");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(std::all_of(empty->press.begin(), empty->press.end(), [](auto& s) { return !s; }));
}

TEST_F(Packs, ZippedPacksReadInMemoryAndRefuseWhatLeavesThem) {
    const std::string config = R"({"defines": {"30": "a.wav", "31": "../b.wav", "32": "c.wav"}})";
    ASSERT_TRUE(test::writeZip(dir.file("root.zip"), {{"config.json", config}, {"a.wav", "A"},
                                                      {"../b.wav", "B"}, {"/c.wav", "C"}}));
    ASSERT_TRUE(test::writeZip(
        dir.file("top.zip"),
        {{"__MACOSX/._x", "junk"}, {"Pack/CONFIG.json", config}, {"Pack/A.WAV", "A"}}));
    ASSERT_TRUE(test::writeZip(dir.file("two.zip"), {{"p/config.json", config}, {"q/a.wav", "A"}}));
    for (const char* name : {"root.zip", "top.zip"}) {
        SCOPED_TRACE(name);
        const auto pack = open(name);
        ASSERT_TRUE(pack);
        EXPECT_NE(fileOf(pack->press[0x00]), "");
        EXPECT_FALSE(pack->press[0x01] || pack->press[0x02]);
    }
    EXPECT_FALSE(open("two.zip"));
    // Cut short anywhere, an archive never crashes the reader.
    const std::string whole = test::readBytes(dir.file("root.zip"));
    for (std::size_t size = 0; size < whole.size(); size += 7) {
        write("cut.zip", whole.substr(0, size));
        open("cut.zip");
    }
}

TEST_F(Packs, AZipBombEndsAtTheLimitsWhateverItsHeadersClaim) {
    const std::string zeros(4 << 20, '\0');
    ASSERT_TRUE(test::writeZip(dir.file("bomb.zip"), {{"a", zeros}, {"b", zeros}, {"c", "small"}}));
    std::string bytes = test::readBytes(dir.file("bomb.zip"));
    // A second copy whose headers claim a few bytes for every entry.
    for (std::size_t at = 0; (at = bytes.find("PK\x01\x02", at)) != std::string::npos; at += 4)
        bytes.replace(at + 24, 4, std::string("\x05\0\0\0", 4));
    ASSERT_TRUE(test::writeBytes(dir.file("lying.zip"), bytes));
    const ZipLimits limits{.entryBytes = 5 << 20, .totalBytes = 6 << 20};
    for (const char* name : {"bomb.zip", "lying.zip"}) {
        SCOPED_TRACE(name);
        auto archive = ZipArchive::open(dir.file(name), limits);
        ASSERT_TRUE(archive);
        EXPECT_FALSE(archive->read(*archive->find("a"), 1 << 20));
        const auto first = archive->read(*archive->find("A"));
        EXPECT_TRUE(!first || first->size() <= limits.entryBytes);
        EXPECT_FALSE(archive->read(*archive->find("b")));  // past the total
    }
    EXPECT_EQ(ZipArchive::open(dir.file("bomb.zip"), {.entries = 2}), nullptr);
}

TEST_F(Packs, SpriteSlicesDecodeFromOneLongSoundInAFolderOrAZip) {
    // 40 s: past the limit of a keystroke sound, well within a sprite's.
    ASSERT_TRUE(test::writeTone(dir.file("pack/sprite.ogg"),
                                {SF_FORMAT_OGG | SF_FORMAT_VORBIS, 22050, 1, 40.0}));
    const std::string config = R"({"key_define_type": "single", "sound": "Sprite.ogg", "defines": {
        "30": [0, 100], "31": ["500", "200"], "32": [0, 100], "30-up": [35000, 50],
        "33": [39990, 100], "34": [41000, 100], "35": [-5, 10], "36": null, "37": ["nan", 5],}})";
    ASSERT_TRUE(test::writeBytes(dir.file("pack/config.json"), config));
    ASSERT_TRUE(test::writeZip(
        dir.file("pack.zip"),
        {{"config.json", config}, {"sprite.ogg", test::readBytes(dir.file("pack/sprite.ogg"))}}));
    for (const char* name : {"pack", "pack.zip"}) {
        SCOPED_TRACE(name);
        const auto pack = configJsonPackAtPath(dir.file(name), files, real);
        ASSERT_TRUE(pack);
        const auto frames = [](const SlotRef& slot) {
            return slot ? double(slot->sounds.at(0)->samples()->frameCount()) : 0.0;
        };
        EXPECT_NEAR(frames(pack->press[0x00]), 4800, 50);
        const auto& slice = pack->press[0x00]->sounds.at(0)->samples()->samples;
        EXPECT_NEAR(*std::max_element(slice.begin(), slice.end()), 0.5f, 0.05f);  // at its level
        EXPECT_NEAR(frames(pack->press[0x01]), 9600, 50);
        EXPECT_EQ(pack->press[0x02], pack->press[0x00]);  // one slice, decoded once
        EXPECT_NEAR(frames(pack->release[0x00]), 2400, 50);
        EXPECT_NEAR(frames(pack->press[0x03]), 480, 50);  // only what the sprite holds
        for (int silent : {0x04, 0x05, 0x26, 0x28}) EXPECT_FALSE(pack->press[silent]) << silent;
    }
}

TEST_F(Packs, NamesAndPatternsBeyondWhatAPackCanHoldAreSkippedUnbuilt) {
    // In a zip any name can be stored; config.json then names them.
    const std::string longName(PATH_MAX + 10, 'n');
    std::vector<std::pair<std::string, std::string>> entries{{longName + ".wav", "sound"}};
    for (int n = 0; n < 300; ++n) entries.emplace_back("v" + std::to_string(n) + ".wav", "sound");
    entries.emplace_back("config.json", R"({"defines": {"30": ")" + longName + R"(.wav",
        "31": "v{0-4096}.wav", "32": "v{0-4095}.wav", "34": "v{0-4294967295}.wav"}})");
    ASSERT_TRUE(test::writeZip(dir.file("names.zip"), entries));
    const auto pack = open("names.zip");
    ASSERT_TRUE(pack);
    // Longer than a path can be, or naming more files than a pack holds.
    for (const int key : {0x00, 0x01, 0x05}) EXPECT_FALSE(pack->press[key]) << key;
    ASSERT_TRUE(pack->press[0x02]);  // within bounds: the first 256 variants
    EXPECT_EQ(pack->press[0x02]->sounds.size(), 256u);
}

TEST_F(Packs, FilesThatAreNotRegularAreNeverOpened) {
    // A FIFO, device or socket must never be opened, even for a moment: inotify tells.
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    inotify_add_watch(watch, dir.file("fifo").c_str(), IN_OPEN);
    char events[4096];
    const auto opened = [&] { return read(watch, events, sizeof events) > 0; };
    for (const char* link :
         {"p/linked.wav", "s/sprite.ogg", "zipped.zip", "c/config.json", "k/1e-1.wav"}) {
        std::filesystem::create_directories(std::filesystem::path(dir.file(link)).parent_path());
        std::filesystem::create_symlink(dir.file("fifo"), dir.file(link));
    }
    write("p/config.json", R"({"defines": {"30": "linked.wav", "31": "../fifo"}})");
    write("s/config.json", R"({"key_define_type": "single", "sound": "sprite.ogg",
        "defines": {"30": [0, 100]}})");
    // The real decoder: the fake reads files through a stream, which would wait on the FIFO.
    for (const char* name : {"p", "s", "zipped.zip", "c", "c/config.json"}) {
        configJsonPackAtPath(dir.file(name), files, real);
        EXPECT_FALSE(opened()) << name;
    }
    kernelCodeFolderAtPath(dir.file("k"), files, real);
    soundsDictionaryWithDirectryPath(files, real, dir.file("k"));
    platform::LoadBudget budget;
    EXPECT_FALSE(real.initWithContentsOfFile(dir.file("p/linked.wav"), budget));
    EXPECT_FALSE(platform::dictionaryWithContentsOfFile(dir.file("p/linked.wav")));
    EXPECT_FALSE(opened());
    close(::open(dir.file("fifo").c_str(), O_RDONLY | O_NONBLOCK));
    EXPECT_TRUE(opened());  // the watch itself sees an open
    close(watch);
}

TEST_F(Packs, NothingIsDecodedPastTheBudgetOrAfterAStop) {
    // 40 one-second sounds (48 k samples each) in a folder, a zipped pack and a sprite; the
    // budget holds 5.
    ASSERT_TRUE(test::writeTone(dir.file("one.wav"), {0, 48000, 1, 1.0}));
    const std::string one = test::readBytes(dir.file("one.wav"));
    ASSERT_TRUE(test::writeTone(dir.file("sprite/sprite.ogg"),
                                {SF_FORMAT_OGG | SF_FORMAT_VORBIS, 48000, 1, 40.0}));
    std::string defines, slices;
    std::vector<std::pair<std::string, std::string>> zipped;
    for (int i = 0; i < 40; ++i) {
        const std::string name = std::to_string(i) + ".wav", key = std::to_string(i + 2);
        write("scan/" + name, one);  // copies: links to one file would share its sound
        zipped.emplace_back(name, one);
        defines += "\"" + key + "\": \"" + name + "\",";
        slices += "\"" + key + "\": [" + std::to_string(i * 1000) + ", 1000],";
    }
    zipped.emplace_back("config.json", "{\"defines\": {" + defines + "}}");
    ASSERT_TRUE(test::writeZip(dir.file("multi.zip"), zipped));
    write("sprite/config.json",
          R"({"key_define_type": "single", "sound": "sprite.ogg", "defines": {)" + slices + "}}");

    const std::size_t limit = 5 * (48000 * 2 * sizeof(float) + 64);
    for (const std::string name : {"scan", "multi.zip", "sprite"}) {
        SCOPED_TRACE(name);
        // How many sounds it keeps.
        const auto open = [&](platform::SoundLoader& loader, const std::function<bool()>& stop) {
            if (name == "scan") {
                return soundsDictionaryWithDirectryPath(files, loader, dir.file(name), stop, limit)
                    .size();
            }
            std::set<const platform::SampleBuffer*> buffers;
            const auto pack = configJsonPackAtPath(dir.file(name), files, loader, stop, limit);
            for (const auto& slot : pack ? pack->press : KeyArray{})
                if (slot) buffers.insert(slot->sounds[0]->samples().get());
            return buffers.size();
        };
        test::WatchedLoader full;
        const std::size_t sounds = open(full, {});
        // A zipped sound's bytes are paid for while it decodes, so one fewer may fit.
        EXPECT_TRUE(sounds >= 4u && sounds <= 5u) << sounds;
        // Sounds past the budget are refused before they are read (work is paid a chunk ahead),
        // and a sprite ends with it.
        EXPECT_LE(full.worked, 5 * (48000 + 2 * 4096));
        int polls = 0;
        test::WatchedLoader stopping;
        open(stopping, [&] { return ++polls > 8; });
        EXPECT_LT(stopping.worked, 48000u);  // asked to stop, none is read to its end
    }
}

TEST_F(Packs, KernelCodedFoldersArePressAndReleaseByKernelKey) {
    for (const char* name :
         {"1e-1.wav", "1E-0.wav", "39-1.ogg", "6f-1.wav", "63-1.wav", "b7-1.wav"})
        write(std::string("keys/") + name, name);
    write("keys/2a-1.wav", "BAD");
    write("keys/readme.txt", "text");
    write("keys/click.wav", "sound");
    const auto pack = kernelCodeFolderAtPath(dir.file("keys"), files, loader);
    ASSERT_TRUE(pack);
    EXPECT_EQ(fileOf(pack->press[0x00]), "keys/1e-1.wav");
    EXPECT_EQ(fileOf(pack->release[0x00]), "keys/1E-0.wav");
    EXPECT_EQ(fileOf(pack->press[49]), "keys/39-1.ogg");
    EXPECT_EQ(fileOf(pack->press[0x75]), "keys/6f-1.wav");  // forward Delete
    EXPECT_EQ(fileOf(pack->press[0x69]), "keys/63-1.wav");  // SysRq before F13
    EXPECT_FALSE(pack->press[platform::kVK_Shift]);
    for (const char* name : {"a.wav", "b.wav", "c.wav", "d.wav", "e.wav", "f.wav"})
        write(std::string("keys/") + name, "sound");
    EXPECT_FALSE(kernelCodeFolderAtPath(dir.file("keys"), files, loader));
    EXPECT_FALSE(kernelCodeFolderAtPath(dir.file("keys/1e-1.wav"), files, loader));
}

struct Format {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;  // "tone:N" makes an N ms tone
    // What slots play: their variants' lengths in ms, each tone or slice being of a length of its
    // own. "P0:20,30" key 0 pressed, "R" released, "B"/"U" a MouseButton index down and up. Keys:
    // A 0, B 11, Return 36, ";" 41, Space 49, Shift 56, keypad 0 82.
    const char* played;
    bool mouse = false;
    float volume = 1.0f;
};

const Format kFormats[] = {
    {"mechvibes-dx", {{"sprite.wav", "tone:1000"},
      {"config.json", R"({"config_version": "2", "definition_method": "single",
        "audio_file": "sprite.wav", "soundpack_type": "Keyboard", "options":
        {"recommended_volume": 0.5, "random_pitch": true}, "definitions": {
        "KeyA": {"timing": [[0, 30], [100, 140]]}, "Space": {"timing": [[200, 250]]},
        "Numpad0": {"timing": [300, 360]}, "Nonsense": {"timing": [[0, 10]]},
        "KeyB": {"timing": [[500, 400]]}}})"}},
     "P0:30 R0:40 P49:50 R49: P82:60 P11:", false, 0.5f},
    {"mechvibes-dx-mouse", {{"l.wav", "tone:20"}, {"r.wav", "tone:50"},
      {"config.json", R"({"config_version": "2", "definition_method": "multi",
        "soundpack_type": "Mouse", "definitions": {"MouseLeft": {"audio_file": "l.wav"},
        "MouseRight": {"audio_file": "r.wav", "timing": [[0, 10], [10, 25]]},
        "Mouse4": {"audio_file": "l.wav"}}})"}},
     "B0:20 B1:10 U1:15 B3:20 P0:", true},
    {"keyboardsounds", {{"k1.wav", "tone:20"}, {"k2.wav", "tone:30"}, {"k2up.wav", "tone:40"},
      {"profile.yaml", R"(profile: {name: typewriter, author: me, device: keyboard, type: files}
sources:
  - {id: k1, source: k1.wav}
  - id: k2
    source: {press: k2.wav, release: k2up.wav}
keys:
  default: [k1, k2]
  other:
    - sound: k2
      keys: [space, shift_l, no_such_key]
)"}},
     "P0:20,30 R0:40 P49:30 R49:40 P56:30 B0:"},
    {"keyboardsounds-mouse", {{"k1.wav", "tone:20"}, {"k2.wav", "tone:30"}, {"k2up.wav", "tone:40"},
      {"profile.yaml", R"(profile: {name: clicks, device: mouse, type: files}
sources: [{id: k1, source: k1.wav}, {id: k2, source: {press: k2.wav, release: k2up.wav}}]
buttons: {default: k1, other: [{sound: k2, buttons: [right]}]}
)"}},
     "B0:20 B1:30 U1:40 P0:", true},
    {"thock",
     {{"d.wav", "tone:20"}, {"a1.wav", "tone:30"}, {"a2.wav", "tone:40"}, {"au.wav", "tone:50"},
      {"s.wav", "tone:60"},
      {"config.json", R"({"metadata": {"name": "Cream", "supportsKeyUp": true}, "sounds": {
        "default": {"down": ["d.wav"]}, "a": {"down": ["a1.wav", "a2.wav"], "up": ["au.wav"]},
        "shiftLeft": {"down": ["s.wav"], "up": []}}})"}},
     "P0:30,40 R0:50 P11:20 P56:60 R56:"},
    {"thock-mouse", {{"l.wav", "tone:20"}, {"r.wav", "tone:30"},
      {"config.json", R"({"metadata": {"name": "Clicks"}, "sounds": {
        "left": {"down": ["l.wav"]}, "right": {"down": ["r.wav"], "up": ["l.wav"]}}})"}},
     "B0:20 B1:30 U1:20", true},
    {"keyecho", {{"sound.ogg", "tone:1000"},
      {"config.json", R"({"name": "Echo", "key_define_type": "single", "defines": {
        "KeyA": [0, 30], "Return": [100, 40], "SemiColon": [200, 50], "Nonsense": [0, 10]},
        "releases": {"KeyA": [300, 60]}})"}},
     "P0:30 R0:60 P36:40 P41:50"},
    {"keyecho-2", {{"all.wav", "tone:1000"},
      {"config.json", R"({"schemaVersion": 2, "audio": {"file": "all.wav", "sampleRate": 48000,
        "channels": 1, "frameCount": 48000}, "defines": {"KeyA": {"slices": [
        {"startFrame": 0, "frameCount": 960}, {"startFrame": 4800, "frameCount": 1440}]}},
        "releases": {"Space": [{"startFrame": 9600, "frameCount": 480}]}})"}},
     "P0:20,30 R49:10 P11:"},
    // Mechvibes' own packs, numbered keys in "defines" whatever their version, stay its reader's.
    {"mechvibes", {{"sprite.wav", "tone:1000"},
      {"config.json", R"({"version": 2, "key_define_type": "single", "sound": "sprite.wav",
        "defines": {"30": [0, 30], "57": [100, 40]}})"}},
     "P0:30 P49:40"},
};

TEST_F(Packs, EachFormatPlaysItsKeysAndButtonsFromAFolderAndAZip) {
    for (const Format& format : kFormats) {
        std::vector<std::pair<std::string, std::string>> zipped;
        for (const auto& [name, content] : format.files) {
            const std::string path = dir.file(std::string(format.name) + "/" + name);
            if (content.rfind("tone:", 0) == 0) {
                const bool ogg = name.ends_with(".ogg");
                ASSERT_TRUE(test::writeTone(path, {ogg ? SF_FORMAT_OGG | SF_FORMAT_VORBIS : 0,
                                                   48000, 1, std::stoi(content.substr(5)) / 1e3}));
            } else {
                ASSERT_TRUE(test::writeBytes(path, content));
            }
            zipped.emplace_back(std::string("Pack/") + name, test::readBytes(path));
        }
        ASSERT_TRUE(test::writeZip(dir.file(std::string(format.name) + ".zip"), zipped));
        for (const std::string& location : {std::string(format.name), format.name + std::string(".zip")}) {
            SCOPED_TRACE(location);
            const auto pack = packAtPath(dir.file(location), files, real);
            ASSERT_TRUE(pack);
            EXPECT_EQ(pack->mouse, format.mouse);
            EXPECT_EQ(isMousePackAtPath(dir.file(location), files), format.mouse);
            EXPECT_FLOAT_EQ(pack->volume, format.volume);
            std::istringstream played(format.played);
            for (std::string slotAndMs; played >> slotAndMs;) {
                const auto colon = slotAndMs.find(':');
                const auto index = std::stoul(slotAndMs.substr(1, colon - 1));
                const char table = slotAndMs[0];
                const SlotRef& slot = table == 'P'   ? pack->press[index]
                                      : table == 'R' ? pack->release[index]
                                      : table == 'B' ? pack->buttonPress[index]
                                                     : pack->buttonRelease[index];
                std::string ms = slotAndMs.substr(0, colon + 1);
                for (const SoundRef& sound : slot ? slot->sounds : std::vector<SoundRef>{})
                    ms += std::to_string(std::lround(sound->samples()->frameCount() / 48.0)) + ",";
                EXPECT_EQ(ms, slotAndMs + (ms.back() == ':' ? "" : ","));
                EXPECT_EQ(slot && slot->weighted, slotAndMs.find(',') != std::string::npos);
            }
        }
    }
}

TEST_F(Packs, HostileDescriptionsEndAsMissingSoundsInBoundedWork) {
    // A YAML list of 4096 names and one of 4096 entries sharing it by alias: 16 M keys if walked.
    std::string names = "[a", entries = "[*e";
    for (int i = 1; i < 4096; ++i) names += ", space", entries += ", *e";
    const std::string bomb = "profile: {name: bomb}\nsources: [{id: k, source: k.wav}]\n"
                             "n: &n " + names + "]\ne: &e {sound: k, keys: *n}\n"
                             "keys: {other: " + entries + "]}\n";
    std::string laughs = "profile: {name: lol}\nl0: &l0 [lol, lol, lol, lol, lol, lol, lol]\n";
    for (int i = 1; i < 10; ++i) {
        const std::string prev = "*l" + std::to_string(i - 1);
        laughs += "l" + std::to_string(i) + ": &l" + std::to_string(i) + " [" + prev + ", " + prev +
                  ", " + prev + ", " + prev + ", " + prev + ", " + prev + "]\n";
    }
    laughs += "keys: {default: *l9, other: [{sound: *l9, keys: *l9}]}\n";
    const std::string deepFlow = "profile: {name: deep}\nkeys: " + std::string(20000, '[');
    std::string deepBlock = "profile: {name: deep}\nkeys:\n";
    for (int i = 0; i < 3000; ++i) deepBlock += "- ";
    const std::string dx = R"({"config_version": "2", "audio_file": "k.wav", "definitions": )";
    const std::string echo2 = R"({"schemaVersion": 2, "audio": {"file": "k.wav", "sampleRate": )";
    const std::pair<std::string, std::string> kCases[] = {
        {"profile.yaml", bomb}, {"profile.yaml", laughs}, {"profile.yaml", deepFlow},
        {"profile.yaml", deepBlock + "x\n"},
        {"profile.yaml", "profile: x\nsources: 5\nkeys: {default: {x: 1}, other: [[1], 2]}\n"},
        {"profile.yaml", "profile: {}\nsources: [{id: [k], source: {press: [1]}}]\nkeys: *x\n"},
        {"config.json", dx + R"({"KeyA": {"timing": [[1e308, 1e309]]}, "KeyB": 5,
            "KeyC": {"timing": [["a", null], [-5, 1e18]]}, "Space": {"timing": "x"}}})"},
        {"config.json", dx + "[1, 2]}"},
        {"config.json", R"({"metadata": [], "sounds": {"a": {"down": 5}}})"},
        {"config.json", R"({"metadata": {}, "sounds": {"a": {"down": [5, null, "../k.wav"]},
            "default": "k.wav", "left": []}})"},
        {"config.json", echo2 + R"(0}, "defines": {"KeyA": [{"startFrame": 0, "frameCount": 9}]}})"},
        {"config.json", echo2 + R"("nan"}, "defines": {"KeyA": {"slices": 7}}})"},
        {"config.json", echo2 + R"(48000}, "defines": {"KeyA": {"startFrame": 1e300,
            "frameCount": 1e300}, "KeyB": {"startFrame": -1e300, "frameCount": 5}}})"},
        {"config.json", R"({"defines": {"KeyA": [1e300, 1e300], "Return": ["x"]}, "releases": 3})"},
    };
    ASSERT_TRUE(test::writeTone(dir.file("k.wav"), {0, 48000, 1, 0.05}));
    for (const auto& [name, text] : kCases) {
        SCOPED_TRACE(text.substr(0, 120));
        ASSERT_TRUE(test::writeBytes(dir.file(name), text));
        // Nothing, or tables whose every slot plays.
        const auto pack = packAtPath(dir.path(), files, real);
        std::filesystem::remove(dir.file(name));
        if (!pack) continue;
        for (const auto* table : {&pack->press, &pack->release})
            for (const SlotRef& slot : *table) EXPECT_TRUE(!slot || !slot->sounds.empty());
    }
}

// A folder of sounds: the names it keeps, links to one file cost it once, and a stop is heard
// while listing.
TEST_F(Packs, AFolderOfSoundsKeepsThemByNameAndSkipsTheRest) {
    for (const char* name : {".DS_Store", "._click.wav", "click.wav", "key.1.wav", "Click.wav"})
        ASSERT_TRUE(test::writeTone(dir.file(name)));
    ASSERT_TRUE(test::writeTone(dir.file("click2.aiff"), {SF_FORMAT_AIFF | SF_FORMAT_PCM_16}));
    ASSERT_TRUE(test::writeTone(dir.file("*.flac"), {SF_FORMAT_FLAC | SF_FORMAT_PCM_16}));
    ASSERT_TRUE(test::writeBytes(dir.file("readme.txt"), "not a sound"));
    ASSERT_TRUE(test::writeTone(dir.file("more/inner.wav")));
    for (const std::string& path : {dir.path(), dir.path() + "/"}) {
        std::vector<std::string> names;
        for (const auto& entry : soundsDictionaryWithDirectryPath(files, real, path))
            names.push_back(entry.first);
        EXPECT_EQ(names, (std::vector<std::string>{"*", "Click", "click", "click2", "key.1"}))
            << path;
    }
}

TEST_F(Packs, LinksToOneFileInAFolderDecodeItOnceAndAStopEndsTheListing) {
    ASSERT_TRUE(test::writeTone(dir.file("one.wav")) && test::writeTone(dir.file("other.wav")));
    for (int i = 0; i < 300; ++i)
        std::filesystem::create_symlink(dir.file("one.wav"), dir.file("s" + std::to_string(i)));
    test::WatchedLoader watched, stopped;
    // A budget for two and a half such sounds holds all 302 names.
    const auto sounds = soundsDictionaryWithDirectryPath(files, watched, dir.path(), {},
                                                         5 * 4802 * 2 * sizeof(float) / 2);
    EXPECT_EQ(sounds.size(), 302u);
    EXPECT_EQ(watched.opened, 2);
    EXPECT_EQ(sounds.at("s0")->samples(), sounds.at("one")->samples());
    int polls = 0;
    EXPECT_TRUE(
        soundsDictionaryWithDirectryPath(files, stopped, dir.path(), [&] { return ++polls > 1; })
            .empty());
    EXPECT_EQ(stopped.opened, 0);
}

// Listing a folder: bounded in entries, and given up as soon as the load no longer wants it.
TEST_F(Packs, ListingAFolderStopsWhenAskedAndAtItsBound) {
    for (int i = 0; i < 1000; ++i) write(std::to_string(i), "");
    // Polls answered false before the stop, at most so many names, what is listed.
    const std::tuple<int, std::size_t, std::optional<std::size_t>> cases[] = {
        {1 << 30, SIZE_MAX, 1000}, {1 << 30, 300, 300}, {0, SIZE_MAX, std::nullopt},
        {2, SIZE_MAX, std::nullopt}};  // heard while listing, not only at its end
    for (const auto& [before, most, listed] : cases) {
        int polls = 0;
        const auto names = files.boundedContentsOfDirectoryAtPath(
            dir.path(), [&, before = before] { return polls++ >= before; }, most);
        EXPECT_EQ(names ? std::optional(names->size()) : std::nullopt, listed) << before << most;
    }
    EXPECT_EQ(files.contentsOfDirectoryAtPath(dir.path())->size(), 1000u);
}

}  // namespace
}  // namespace tapsound
