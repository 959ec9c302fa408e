// Scan and decode a folder of 200 sounds of 100 ms at 44.1 kHz mono, as opening a set does.
#include <benchmark/benchmark.h>

#include "platform/file_manager_posix.h"
#include "platform/sound_file.h"
#include "soundset/sound_scan.h"
#include "tests/support/sound_files.h"

namespace {

void BM_ScanFolderOf200Sounds(benchmark::State& state) {
    tapsound::test::TempDir dir;
    for (int i = 0; i < 200; ++i) {
        tapsound::test::writeTone(dir.file("s" + std::to_string(i) + ".wav"),
                                  {0, 44100, 1, 0.1, 400.0 + i, 0.5});
    }
    tapsound::platform::PosixFileManager files;
    tapsound::platform::SndfileSoundLoader loader(nullptr);
    for (auto _ : state) {
        auto sounds = tapsound::soundsDictionaryWithDirectryPath(files, loader, dir.path());
        if (sounds.size() != 200) state.SkipWithError("not every sound loaded");
        benchmark::DoNotOptimize(sounds);
    }
}
BENCHMARK(BM_ScanFolderOf200Sounds)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
