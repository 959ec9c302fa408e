// Scan and decode a folder of sounds of 100 ms at 44.1 kHz mono, as opening a set does: 200 of
// them, and 2,000.
#include <benchmark/benchmark.h>

#include "platform/file_manager_posix.h"
#include "platform/sound_file.h"
#include "soundset/sound_scan.h"
#include "tests/support/sound_files.h"

namespace {

void BM_ScanFolder(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    tapsound::test::TempDir dir;
    for (std::size_t i = 0; i < count; ++i) {
        tapsound::test::writeTone(dir.file("s" + std::to_string(i) + ".wav"),
                                  {0, 44100, 1, 0.1, 400.0 + static_cast<double>(i % 1000), 0.5});
    }
    tapsound::platform::PosixFileManager files;
    tapsound::platform::SndfileSoundLoader loader(nullptr);
    for (auto _ : state) {
        auto sounds = tapsound::soundsDictionaryWithDirectryPath(files, loader, dir.path());
        if (sounds.size() != count) state.SkipWithError("not every sound loaded");
        benchmark::DoNotOptimize(sounds);
    }
}
BENCHMARK(BM_ScanFolder)
    ->Arg(200)
    ->Arg(2000)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
