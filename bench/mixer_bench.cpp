// Mixing cost with 1, 16 and 64 voices, as a share of one core: rendering 256 frames must take a
// small part of the 5.3 ms they last.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

#include "platform/mixer.h"

namespace {

using tapsound::platform::Mixer;
using tapsound::platform::SampleBuffer;

constexpr std::size_t kBlock = 256;

void BM_MixVoices(benchmark::State& state) {
    const auto voices = static_cast<std::size_t>(state.range(0));
    // Long enough that no voice ends during the run; each starts at its own offset.
    auto buffer = std::make_shared<SampleBuffer>();
    buffer->samples.resize(SampleBuffer::kSampleRate * 30 * SampleBuffer::kChannels);
    for (std::size_t i = 0; i < buffer->samples.size(); ++i) {
        buffer->samples[i] = 0.2f * static_cast<float>(std::sin(static_cast<double>(i) * 0.01));
    }
    Mixer mixer;
    std::vector<float> out(kBlock * SampleBuffer::kChannels);
    for (std::size_t v = 0; v < voices; ++v) {
        mixer.start(buffer, 0.5f);
        mixer.render(out.data(), 7);
    }
    std::size_t rendered = 0;
    for (auto _ : state) {
        mixer.render(out.data(), kBlock);
        benchmark::DoNotOptimize(out.data());
        rendered += kBlock;
        if (rendered > SampleBuffer::kSampleRate * 25) {
            state.PauseTiming();
            mixer.reset();
            for (std::size_t v = 0; v < voices; ++v) mixer.start(buffer, 0.5f);
            rendered = 0;
            state.ResumeTiming();
        }
    }
    state.counters["voices"] = static_cast<double>(mixer.playingVoices());
    // CPU time over the audio's own duration, in percent: the share of a core mixing takes.
    state.counters["core_share_%"] = benchmark::Counter(
        static_cast<double>(kBlock) / SampleBuffer::kSampleRate / 100.0, benchmark::Counter::kIsIterationInvariantRate |
                                                        benchmark::Counter::kInvert);
}
BENCHMARK(BM_MixVoices)->Arg(1)->Arg(16)->Arg(64);

}  // namespace

BENCHMARK_MAIN();
