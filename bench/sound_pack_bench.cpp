// Opening config.json sound packs as users have them: 100 Ogg Vorbis files of 200 ms (44.1 kHz
// stereo), and one 60 s Ogg Vorbis sprite cut into 100 slices of 150 ms; each as a folder and as a
// zip. Reports the decoded memory the tables keep.
#include <benchmark/benchmark.h>
#include <sndfile.h>

#include <filesystem>
#include <set>

#include "platform/file_manager_posix.h"
#include "platform/sound_file.h"
#include "soundset/pack_tables.h"
#include "tests/support/sound_files.h"

namespace {

using tapsound::test::TempDir;
using tapsound::test::Tone;

constexpr int kKeys = 100;
// Set-1 scancodes of 100 distinct keys: the main block and keypad, then the extended ones.
std::vector<unsigned> scancodes() {
    std::vector<unsigned> codes;
    for (unsigned code = 1; code <= 83; ++code) codes.push_back(code);
    for (unsigned code : {86, 87, 88}) codes.push_back(code);
    for (unsigned low :
         {0x1C, 0x1D, 0x35, 0x37, 0x38, 0x47, 0x48, 0x49, 0x4B, 0x4D, 0x4F, 0x50, 0x51, 0x52}) {
        codes.push_back(0x0E00 | low);
    }
    return codes;
}

// Writes the pack into dir/pack, and the same as dir/pack.zip.
void writePack(const TempDir& dir, bool sprite) {
    std::filesystem::create_directories(dir.file("pack"));
    const Tone ogg{SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100, 2, 0.2, 440.0, 0.5};
    std::string defines;
    std::vector<std::pair<std::string, std::string>> entries;
    int i = 0;
    for (const unsigned code : scancodes()) {
        if (sprite) {
            defines += "\"" + std::to_string(code) + "\": [" + std::to_string(i * 590) + ", 150],";
        } else {
            const std::string name = "sounds/k" + std::to_string(i) + ".ogg";
            std::filesystem::create_directories(dir.file("pack/sounds"));
            Tone tone = ogg;
            tone.frequency = 300.0 + i * 10;
            tapsound::test::writeTone(dir.file("pack/" + name), tone);
            entries.emplace_back(name, tapsound::test::readBytes(dir.file("pack/" + name)));
            defines += "\"" + std::to_string(code) + "\": \"" + name + "\",";
        }
        ++i;
    }
    if (sprite) {
        Tone tone = ogg;
        tone.seconds = 60.0;
        tapsound::test::writeTone(dir.file("pack/sprite.ogg"), tone);
        entries.emplace_back("sprite.ogg", tapsound::test::readBytes(dir.file("pack/sprite.ogg")));
    }
    const std::string config = std::string("{\"key_define_type\": \"") +
                               (sprite ? "single" : "multi") +
                               "\", \"sound\": \"sprite.ogg\", \"defines\": {" + defines + "}}";
    tapsound::test::writeBytes(dir.file("pack/config.json"), config);
    entries.emplace_back("config.json", config);
    tapsound::test::writeZip(dir.file("pack.zip"), entries);
}

void BM_OpenPack(benchmark::State& state) {
    const bool sprite = state.range(0) != 0, zipped = state.range(1) != 0;
    TempDir dir;
    writePack(dir, sprite);
    const std::string path = dir.file(zipped ? "pack.zip" : "pack");
    tapsound::platform::PosixFileManager files;
    tapsound::platform::SndfileSoundLoader loader(nullptr);
    std::size_t kept = 0, playing = 0;
    for (auto _ : state) {
        const auto pack = tapsound::configJsonPackAtPath(path, files, loader);
        if (!pack) {
            state.SkipWithError("not read as a pack");
            break;
        }
        std::set<const tapsound::platform::SampleBuffer*> buffers;
        playing = 0;
        for (const auto& slot : pack->press) {
            if (!slot) continue;
            ++playing;
            for (const auto& sound : slot->sounds) buffers.insert(sound->samples().get());
        }
        kept = 0;
        for (const auto* buffer : buffers) kept += buffer->samples.size() * sizeof(float);
        benchmark::DoNotOptimize(pack);
    }
    if (playing != kKeys) state.SkipWithError("not every key plays");
    state.counters["kept_MiB"] = static_cast<double>(kept) / (1 << 20);
    state.counters["keys"] = static_cast<double>(playing);
}
BENCHMARK(BM_OpenPack)
    ->ArgNames({"sprite", "zip"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
