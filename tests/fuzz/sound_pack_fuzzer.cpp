// Arbitrary bytes as a sound pack of any program's format: a zip archive when they start as one, a
// config.json in a folder of sounds when they start as a JSON object, else a profile.yaml; every
// table must come out whole.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <string>

#include "soundset/pack_tables.h"
#include "tests/support/fake_platform.h"

// A frame a byte of at most the first 4 KB: the archive's own limits are what keep a bomb small.
struct Loader : tapsound::test::FakeSoundLoader {
    std::shared_ptr<const tapsound::platform::Sound> initWithData(
        std::span<const std::uint8_t> bytes, const std::string& name,
        tapsound::platform::LoadBudget& budget) override {
        return FakeSoundLoader::initWithData(bytes.first(std::min<std::size_t>(bytes.size(), 4096)),
                                             name, budget);
    }
};

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const tapsound::test::TempDir dir;
    static const bool sounds = [] {
        for (const char* name : {"a.wav", "b.ogg", "k1.wav", "k2.wav", "sprite.ogg", "sound.ogg"})
            tapsound::test::writeBytes(dir.file(name), "sound");
        return true;
    }();
    static Loader loader;
    static tapsound::platform::PosixFileManager files;
    const bool zipped = sounds && size >= 2 && data[0] == 'P' && data[1] == 'K';
    const bool json = size >= 1 && (data[0] == '{' || data[0] == 0xEF);
    const std::string path = dir.file(zipped ? "pack.zip" : json ? "config.json" : "profile.yaml");
    tapsound::test::writeBytes(path, std::string(reinterpret_cast<const char*>(data), size));
    // A budget well under the run's memory limit, so building past it shows as a blow-up.
    std::optional<tapsound::PackTables> pack;
    for (const auto reader :
         {tapsound::mechvibesDxPackAtPath, tapsound::keyEchoPackAtPath,
          tapsound::configJsonPackAtPath, tapsound::thockPackAtPath,
          tapsound::keyboardsoundsProfileAtPath}) {
        if ((pack = reader(zipped ? path : dir.path(), files, loader, {}, 64 << 20))) break;
    }
    std::remove(path.c_str());
    loader.pathOf.clear();  // only the tests read it
    if (!pack) return 0;
    const auto check = [](const auto& table) {
        for (const auto& slot : table) {
            if (slot && (slot->sounds.empty() ||
                         (slot->weighted && slot->thresholds.size() + 1 != slot->sounds.size())))
                __builtin_trap();
        }
    };
    check(pack->press), check(pack->release);
    check(pack->buttonPress), check(pack->buttonRelease);
    return 0;
}
