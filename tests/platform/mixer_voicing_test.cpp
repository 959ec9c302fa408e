#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <memory>
#include <numbers>
#include <vector>

#include "platform/key_positions.h"
#include "platform/mixer.h"
#include "platform/virtual_keys.h"

namespace tapsound::platform {
namespace {

std::shared_ptr<const SampleBuffer> tone(double hertz, std::size_t frames, float amplitude = 0.5f) {
    auto buffer = std::make_shared<SampleBuffer>();
    for (std::size_t f = 0; f < frames; ++f) {
        const auto x = static_cast<float>(
            amplitude * std::sin(2 * std::numbers::pi * hertz * static_cast<double>(f) / 48000.0));
        buffer->samples.push_back(x);
        buffer->samples.push_back(x);
    }
    return buffer;
}

std::vector<float> play(std::shared_ptr<const SampleBuffer> sound, float gain,
                        const Voicing& voicing, std::size_t frames) {
    Mixer mixer;
    mixer.start(std::move(sound), gain, voicing);
    std::vector<float> out(frames * 2);
    mixer.render(out.data(), frames);
    return out;
}

double rms(const std::vector<float>& out, int channel, std::size_t from, std::size_t to) {
    double sum = 0;
    for (std::size_t f = from; f < to; ++f) sum += out[f * 2 + channel] * out[f * 2 + channel];
    return std::sqrt(sum / static_cast<double>(to - from));
}

double decibels(double ratio) { return 20 * std::log10(ratio); }

// Nothing placed or varied: the very samples of a voice started without a voicing, however the
// mixer is driven (a late insert included).
TEST(MixerVoicing, APlainVoicingPlaysBitExactly) {
    auto noise = std::make_shared<SampleBuffer>();
    unsigned seed = 7;
    for (int i = 0; i < 6000; ++i)
        noise->samples.push_back(
            static_cast<float>((seed = seed * 1103515245 + 12345) >> 16) / 65536.0f - 0.5f);
    Mixer plain, voiced;
    std::vector<float> a(4096 * 2), b(4096 * 2), ia(512 * 2), ib(512 * 2);
    plain.render(a.data(), 700);
    voiced.render(b.data(), 700);
    plain.start(noise, 0.8f);
    voiced.start(noise, 0.8f, Voicing{});
    ASSERT_EQ(plain.insert(noise, 0.3f, 512, ia.data()),
              voiced.insert(noise, 0.3f, Voicing{}, 512, ib.data()));
    plain.render(a.data(), 4096);
    voiced.render(b.data(), 4096);
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)), 0);
    EXPECT_EQ(std::memcmp(ia.data(), ib.data(), ia.size() * sizeof(float)), 0);
}

// Equal power: left² + right² is the same wherever the voice sits, the centre is the sound as
// recorded, and the far sides leave the other speaker silent.
TEST(MixerVoicing, PanKeepsThePowerOfTheVoiceAtEveryPlace) {
    const auto sound = tone(440, 4800, 0.25f);
    const auto centre = play(sound, 1.0f, Voicing{}, 4800);
    const double power =
        std::pow(rms(centre, 0, 0, 4800), 2) + std::pow(rms(centre, 1, 0, 4800), 2);
    const struct {
        float pan;
        double leftMinusRightDb;  // NaN: a side is silent
    } cases[] = {{-1.0f, NAN}, {-0.5f, 7.66}, {-0.1f, 1.37},
                 {0.0f, 0.0},  {0.3f, -4.25}, {1.0f, NAN}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pan);
        const auto out = play(sound, 1.0f, Voicing{.pan = c.pan, .level = 1.0f}, 4800);
        const double l = rms(out, 0, 0, 4800), r = rms(out, 1, 0, 4800);
        EXPECT_NEAR(decibels(std::sqrt((l * l + r * r) / power)), 0.0, 0.01);
        if (std::isnan(c.leftMinusRightDb)) {
            EXPECT_LT(c.pan < 0 ? r : l, 1e-6);
        } else {
            EXPECT_NEAR(decibels(l / r), c.leftMinusRightDb, 0.05);
        }
    }
}

std::vector<std::complex<double>> fft(std::vector<std::complex<double>> x) {
    const std::size_t n = x.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(x[i], x[j]);
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const std::complex<double> w =
            std::polar(1.0, -2 * std::numbers::pi / static_cast<double>(len));
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

// A varied press is the same sound sped up or slowed down: the tone moves by the rate, keeps its
// level, lasts 1/rate as long, and the resampling folds nothing back: every other component
// stays 60 dB under the tone (a Blackman-Harris window keeps the window's own leakage lower).
TEST(MixerVoicing, AVariedVoiceIsResampledCleanly) {
    for (const double hertz : {1000.0, 9000.0}) {
        for (const double cents : {-70.0, -30.0, 30.0, 70.0}) {
            SCOPED_TRACE(testing::Message() << hertz << " Hz at " << cents << " cents");
            const float rate = static_cast<float>(std::exp2(cents / 1200));
            const std::size_t length = 24000;
            const auto out = play(tone(hertz, length), 1.0f, Voicing{.rate = rate}, length * 2);
            // It ends when its samples do.
            const auto played = static_cast<std::size_t>(std::ceil(length / rate));
            EXPECT_LT(rms(out, 0, played + 1, played + 100), 1e-9);
            EXPECT_NEAR(decibels(rms(out, 0, 1000, 9000) / (0.5 / std::sqrt(2.0))), 0.0, 0.05);

            constexpr std::size_t n = 16384;
            std::vector<std::complex<double>> x(n);
            for (std::size_t i = 0; i < n; ++i) {
                const double p = 2 * std::numbers::pi * static_cast<double>(i) / (n - 1);
                const double w = 0.35875 - 0.48829 * std::cos(p) + 0.14128 * std::cos(2 * p) -
                                 0.01168 * std::cos(3 * p);
                x[i] = out[(1000 + i) * 2] * w;
            }
            const auto spectrum = fft(x);
            const double expected = hertz * rate * n / 48000.0;
            double peak = 0, other = 0, peakBin = 0;
            for (std::size_t k = 1; k < n / 2; ++k) {
                const double magnitude = std::abs(spectrum[k]);
                if (std::fabs(static_cast<double>(k) - expected) <= 6) {
                    if (magnitude > peak) peak = magnitude, peakBin = static_cast<double>(k);
                } else {
                    other = std::max(other, magnitude);
                }
            }
            EXPECT_NEAR(peakBin, expected, 1.0);
            EXPECT_LT(decibels(other / peak), -60.0);
        }
    }
}

// Out-of-range voicings come out as the nearest playable one; silent ones start no voice.
TEST(MixerVoicing, StrayVoicingsStayWithinBounds) {
    const auto sound = tone(1000, 4800);
    for (const Voicing& v :
         {Voicing{.pan = NAN, .rate = 1.01f}, Voicing{.pan = 7.0f, .rate = INFINITY},
          Voicing{.rate = 100.0f}, Voicing{.rate = -1.0f}}) {
        const auto out = play(sound, 1.0f, v, 12000);
        for (const float sample : out)
            ASSERT_TRUE(std::isfinite(sample) && std::fabs(sample) <= 1.0f);
    }
    for (const Voicing& v :
         {Voicing{.level = 0.0f}, Voicing{.level = NAN}, Voicing{.level = -2.0f}}) {
        Mixer mixer;
        mixer.start(sound, 1.0f, v);
        EXPECT_TRUE(mixer.idle());
    }
}

// Every key that gives a code has its own place: none falls back to the middle unnoticed.
TEST(KeyPositions, EveryKeyWithACodeHasAPlace) {
    for (unsigned kernel = 0; kernel < 0x300; ++kernel) {
        const auto code = virtualKeyCodeForKernelKey(kernel);
        if (!code || *code == kVK_Space) continue;
        EXPECT_NE(keyPosition(*code), 0.0f) << kernel;
    }
    EXPECT_EQ(keyPosition(-1), 0.0f);
    EXPECT_EQ(keyPosition(4096), 0.0f);
}

}  // namespace
}  // namespace tapsound::platform
