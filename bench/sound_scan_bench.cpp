// Scan and decode a folder of sounds of 100 ms at 44.1 kHz mono, as opening a set does: 200 of
// them, and 2,000. Then a folder of 100,000 empty files, asked to stop 20 ms into the scan: how
// long until the scan returns, beside how long the whole listing alone takes.
#include <benchmark/benchmark.h>
#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

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

void BM_StopAHugeFolder(benchmark::State& state) {
    static tapsound::test::TempDir dir;
    static const bool written = [] {
        for (int i = 0; i < 100000; ++i) {
            if (!tapsound::test::writeBytes(dir.file("f" + std::to_string(i) + ".wav"), "")) {
                return false;
            }
        }
        return true;
    }();
    if (!written) {
        state.SkipWithError("cannot write the folder");
        return;
    }
    using Clock = std::chrono::steady_clock;
    tapsound::platform::PosixFileManager files;
    tapsound::platform::SndfileSoundLoader loader(nullptr);
    double stopMs = 0, listMs = 0;
    for (auto _ : state) {
        // The naive reference: the whole listing, as bytes, with nothing else done.
        auto start = Clock::now();
        DIR* folder = opendir(dir.path().c_str());
        std::size_t entries = 0;
        while (readdir(folder)) ++entries;
        closedir(folder);
        listMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        benchmark::DoNotOptimize(entries);

        std::atomic<bool> stop{false};
        Clock::time_point asked;
        std::thread scan([&] {
            tapsound::soundsDictionaryWithDirectryPath(files, loader, dir.path(),
                                                       [&] { return stop.load(); });
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        asked = Clock::now();
        stop = true;
        scan.join();
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - asked).count();
        stopMs = std::max(stopMs, ms);
        state.SetIterationTime(ms / 1000);
    }
    state.counters["worst_stop_ms"] = stopMs;
    state.counters["whole_listing_ms"] = listMs;
}
BENCHMARK(BM_StopAHugeFolder)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
