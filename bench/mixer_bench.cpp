// Mixing cost with 1, 16 and 64 voices, as a share of one core: rendering 256 frames must take a
// small part of the 5.3 ms they last. Each count plain, panned, and panned and varied in pitch
// (resampled). And what resampling folds back, ours beside plain linear interpolation.
#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
#include <memory>
#include <numbers>
#include <vector>

#include "platform/mixer.h"

namespace {

using tapsound::platform::Mixer;
using tapsound::platform::SampleBuffer;
using tapsound::platform::Voicing;

// 0 as recorded, 1 panned, 2 panned and 30 cents sharp.
Voicing voicingOfKind(std::int64_t kind) {
    if (kind == 0) return {};
    return {.pan = -0.4f, .rate = kind == 2 ? std::exp2(30.0f / 1200.0f) : 1.0f};
}

constexpr std::size_t kBlock = 256;

void BM_MixVoices(benchmark::State& state) {
    const auto voices = static_cast<std::size_t>(state.range(0));
    const Voicing voicing = voicingOfKind(state.range(1));
    // Long enough that no voice ends during the run; each starts at its own offset.
    auto buffer = std::make_shared<SampleBuffer>();
    buffer->samples.resize(SampleBuffer::kSampleRate * 30 * SampleBuffer::kChannels);
    for (std::size_t i = 0; i < buffer->samples.size(); ++i) {
        buffer->samples[i] = 0.2f * static_cast<float>(std::sin(static_cast<double>(i) * 0.01));
    }
    Mixer mixer;
    std::vector<float> out(kBlock * SampleBuffer::kChannels);
    for (std::size_t v = 0; v < voices; ++v) {
        mixer.start(buffer, 0.5f, voicing);
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
            for (std::size_t v = 0; v < voices; ++v) mixer.start(buffer, 0.5f, voicing);
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
BENCHMARK(BM_MixVoices)->ArgsProduct({{1, 16, 64}, {0, 1, 2}});

std::vector<std::complex<double>> fft(std::vector<std::complex<double>> x) {
    const std::size_t n = x.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(x[i], x[j]);
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const auto w = std::polar(1.0, -2 * std::numbers::pi / static_cast<double>(len));
        for (std::size_t i = 0; i < n; i += len) {
            std::complex<double> wk = 1;
            for (std::size_t k = 0; k < len / 2; ++k, wk *= w) {
                const auto u = x[i + k], v = x[i + k + len / 2] * wk;
                x[i + k] = u + v;
                x[i + k + len / 2] = u - v;
            }
        }
    }
    return x;
}

// The strongest component other than the tone, in dB under it (Blackman-Harris window).
double strongestOther(const std::vector<float>& mono, double expectedBin) {
    constexpr std::size_t n = 16384;
    std::vector<std::complex<double>> x(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double p = 2 * std::numbers::pi * static_cast<double>(i) / (n - 1);
        x[i] = mono[i] * (0.35875 - 0.48829 * std::cos(p) + 0.14128 * std::cos(2 * p) -
                          0.01168 * std::cos(3 * p));
    }
    const auto spectrum = fft(x);
    double peak = 0, other = 0;
    for (std::size_t k = 1; k < n / 2; ++k) {
        double& strongest = std::fabs(static_cast<double>(k) - expectedBin) <= 6 ? peak : other;
        strongest = std::max(strongest, std::abs(spectrum[k]));
    }
    return 20 * std::log10(other / peak);
}

// Arg 0: tone in kHz. Counters: the strongest alias of ours and of linear interpolation, 30 and
// 70 cents sharp; the time is ours resampling a second of stereo.
void BM_ResampleAlias(benchmark::State& state) {
    const double hertz = static_cast<double>(state.range(0)) * 1000;
    auto tone = std::make_shared<SampleBuffer>();
    for (int f = 0; f < SampleBuffer::kSampleRate; ++f) {
        const auto x = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * hertz * f / 48000));
        tone->samples.insert(tone->samples.end(), {x, x});
    }
    for (const double cents : {30.0, 70.0}) {
        const auto rate = static_cast<float>(std::exp2(cents / 1200));
        Mixer mixer;
        mixer.start(tone, 1.0f, Voicing{.rate = rate});
        std::vector<float> out(20000 * 2), ours(16384), linear(16384);
        mixer.render(out.data(), 20000);
        for (std::size_t i = 0; i < 16384; ++i) {
            ours[i] = out[(1000 + i) * 2];
            const double at = static_cast<double>(1000 + i) * rate;
            const auto whole = static_cast<std::size_t>(at);
            const auto t = static_cast<float>(at - static_cast<double>(whole));
            linear[i] = tone->samples[whole * 2] * (1 - t) + tone->samples[(whole + 1) * 2] * t;
        }
        const double bin = hertz * rate * 16384 / 48000;
        const std::string name = std::to_string(static_cast<int>(cents)) + "c_";
        state.counters[name + "ours_dB"] = strongestOther(ours, bin);
        state.counters[name + "linear_dB"] = strongestOther(linear, bin);
    }
    std::vector<float> out(1024 * 2);
    Mixer mixer;
    for (auto _ : state) {
        mixer.reset();
        mixer.start(tone, 1.0f, Voicing{.rate = std::exp2(30.0f / 1200.0f)});
        for (int block = 0; block < 47; ++block) mixer.render(out.data(), 1024);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_ResampleAlias)->Arg(1)->Arg(5)->Arg(10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
