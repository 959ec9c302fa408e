#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>

#include "platform/key_positions.h"
#include "platform/mixer.h"
#include "platform/virtual_keys.h"
#include "tests/support/sound_files.h"

namespace tapsound::platform {
namespace {

std::vector<float> play(std::shared_ptr<const SampleBuffer> sound, const Voicing& voicing,
                        std::size_t frames) {
    Mixer mixer;
    mixer.start(std::move(sound), 1.0f, voicing);
    std::vector<float> out(frames * 2);
    mixer.render(out.data(), frames);
    return out;
}

double rms(const std::vector<float>& out, int channel, std::size_t from, std::size_t to) {
    double sum = 0;
    for (std::size_t f = from; f < to; ++f) sum += out[f * 2 + channel] * out[f * 2 + channel];
    return std::sqrt(sum / static_cast<double>(to - from));
}

double db(double ratio) { return 20 * std::log10(ratio); }

// Nothing placed or varied plays the very samples of a voice started without a voicing, late
// inserts included.
TEST(MixerVoicing, APlainVoicingPlaysBitExactly) {
    auto noise = std::make_shared<SampleBuffer>();
    for (unsigned i = 0, seed = 7; i < 6000; ++i)
        noise->samples.push_back(
            static_cast<float>((seed = seed * 1103515245 + 12345) >> 16) / 65536.0f - 0.5f);
    Mixer plain, voiced;
    std::vector<float> a(4096 * 2), b(4096 * 2);
    plain.render(a.data(), 700);
    voiced.render(b.data(), 700);
    plain.start(noise, 0.8f);
    voiced.start(noise, 0.8f, Voicing{});
    plain.insert(noise, 0.3f, 512, a.data());
    voiced.insert(noise, 0.3f, Voicing{}, 512, b.data());
    plain.render(a.data() + 1024, 3000);
    voiced.render(b.data() + 1024, 3000);
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)), 0);
}

// Equal power: left² + right² as for the centre wherever the voice sits, a side silent at the
// far ends; the sides as the sine/cosine law puts them.
TEST(MixerVoicing, PanKeepsThePowerOfTheVoiceAtEveryPlace) {
    const auto sound = test::toneBuffer(0.1, 440, 0.25f);
    const double centre = rms(play(sound, {}, 4800), 0, 0, 4800);
    const struct {
        float pan;
        double leftMinusRight;  // NaN: a side is silent
    } cases[] = {{-1.0f, NAN}, {-0.5f, 7.66}, {-0.1f, 1.37},
                 {0.0f, 0.0},  {0.3f, -4.25}, {1.0f, NAN}};
    for (const auto& c : cases) {
        const auto out = play(sound, {.pan = c.pan, .level = 1.0f}, 4800);
        const double l = rms(out, 0, 0, 4800), r = rms(out, 1, 0, 4800);
        EXPECT_NEAR(db(std::sqrt((l * l + r * r) / 2) / centre), 0.0, 0.01) << c.pan;
        const double side = std::isnan(c.leftMinusRight) ? std::min(l, r) : db(l / r);
        EXPECT_NEAR(side, std::isnan(c.leftMinusRight) ? 0.0 : c.leftMinusRight, 0.05) << c.pan;
    }
}

std::vector<std::complex<double>> fft(std::vector<std::complex<double>> x) {
    const std::size_t n = x.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        if (i < (j ^= bit)) std::swap(x[i], x[j]);
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const auto w = std::polar(1.0, -2 * std::numbers::pi / static_cast<double>(len));
        for (std::size_t i = 0; i < n; i += len) {
            std::complex<double> wk = 1;
            for (std::size_t k = 0; k < len / 2; ++k, wk *= w) {
                const auto u = x[i + k], v = x[i + k + len / 2] * wk;
                x[i + k] = u + v, x[i + k + len / 2] = u - v;
            }
        }
    }
    return x;
}

// A varied voice is the sound sped up or slowed down: the tone moves by the rate and keeps its
// level, it ends with its samples, and nothing else comes within 60 dB of the tone (measured
// through a Blackman-Harris window, whose own leakage stays lower).
TEST(MixerVoicing, AVariedVoiceIsResampledCleanly) {
    for (const auto& [hertz, cents] :
         {std::pair{1000.0, -70.0}, {1000.0, 30.0}, {9000.0, -70.0}, {9000.0, 30.0}}) {
        SCOPED_TRACE(testing::Message() << hertz << " Hz, " << cents << " cents");
        const auto rate = static_cast<float>(std::exp2(cents / 1200));
        const auto out = play(test::toneBuffer(0.5, hertz, 0.5f), {.rate = rate}, 48000);
        const auto end = static_cast<std::size_t>(std::ceil(24000 / rate));
        EXPECT_LT(rms(out, 0, end + 1, end + 100), 1e-9);
        EXPECT_NEAR(db(rms(out, 0, 1000, 9000) / (0.5 / std::sqrt(2.0))), 0.0, 0.05);
        std::vector<std::complex<double>> x(16384);
        for (std::size_t i = 0; i < x.size(); ++i) {
            const double p = 2 * std::numbers::pi * static_cast<double>(i) / 16383;
            x[i] = out[(1000 + i) * 2] * (0.35875 - 0.48829 * std::cos(p) +
                                          0.14128 * std::cos(2 * p) - 0.01168 * std::cos(3 * p));
        }
        const auto spectrum = fft(x);
        const double expected = hertz * rate * 16384 / 48000;
        double peak = 0, other = 0;
        for (std::size_t k = 1; k < 8192; ++k) {
            double& strongest = std::fabs(static_cast<double>(k) - expected) <= 6 ? peak : other;
            strongest = std::max(strongest, std::abs(spectrum[k]));
        }
        EXPECT_NEAR(std::abs(spectrum[static_cast<std::size_t>(std::lround(expected))]), peak,
                    peak * 0.2);
        EXPECT_LT(db(other / peak), -60.0);
    }
}

// Out-of-range voicings play as the nearest playable one; silent ones start no voice. Every key
// that gives a code has a place of its own, none falling back to the middle unnoticed.
TEST(MixerVoicing, StrayVoicingsStayWithinBoundsAndEveryKeyHasAPlace) {
    const auto sound = test::toneBuffer(0.1, 1000, 0.5f);
    for (const Voicing& v :
         {Voicing{.pan = NAN, .rate = 1.01f}, Voicing{.pan = 7, .rate = INFINITY},
          Voicing{.rate = 100}, Voicing{.rate = -1}}) {
        for (const float sample : play(sound, v, 12000)) ASSERT_LE(std::fabs(sample), 1.0f);
    }
    for (const Voicing& v : {Voicing{.level = 0}, Voicing{.level = NAN}, Voicing{.level = -2}}) {
        Mixer mixer;
        mixer.start(sound, 1.0f, v);
        EXPECT_TRUE(mixer.idle());
    }
    for (unsigned kernel = 0; kernel < 0x300; ++kernel) {
        const auto code = virtualKeyCodeForKernelKey(kernel);
        EXPECT_TRUE(!code || *code == kVK_Space || keyPosition(*code) != 0.0f) << kernel;
    }
    EXPECT_EQ(keyPosition(-1) + keyPosition(4096), 0.0f);
}

}  // namespace
}  // namespace tapsound::platform
