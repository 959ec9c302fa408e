#include "platform/mixer.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

namespace tapsound::platform {

namespace {

constexpr std::size_t kScratchFrames = 1024;
// Below this the sum passes untouched; above it bends smoothly towards full scale.
constexpr float kKnee = 0.75f;

// Resampling: a Kaiser-windowed sinc, 32 taps, its cutoff at 20 kHz so that a voice sped up by a
// semitone still folds nothing back; rows for 256 phases between two source frames, interpolated.
constexpr int kTaps = 32;
constexpr int kPhases = 256;
constexpr double kCutoff = 0.42;  // of the sample rate
constexpr double kBeta = 8.0;

using SincTable = std::array<std::array<float, kTaps>, kPhases + 1>;

double besselI0(double x) {
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 32; ++k) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
    }
    return sum;
}

const SincTable& sincTable() {
    static const SincTable table = [] {
        SincTable rows{};
        for (int phase = 0; phase <= kPhases; ++phase) {
            const double fraction = static_cast<double>(phase) / kPhases;
            double total = 0.0;
            std::array<double, kTaps> row{};
            for (int k = 0; k < kTaps; ++k) {
                // Tap k reads the source frame k - 15 frames from the voice's position.
                const double t = static_cast<double>(k - (kTaps / 2 - 1)) - fraction;
                const double x = 2.0 * kCutoff * t;
                const double sinc = x == 0.0 ? 1.0 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
                const double edge = t / (kTaps / 2.0);
                const double window =
                    std::fabs(edge) >= 1.0 ? 0.0 : besselI0(kBeta * std::sqrt(1.0 - edge * edge)) / besselI0(kBeta);
                row[static_cast<std::size_t>(k)] = sinc * window;
                total += row[static_cast<std::size_t>(k)];
            }
            // Unity gain at every phase, so a varied voice keeps its level.
            for (int k = 0; k < kTaps; ++k)
                rows[static_cast<std::size_t>(phase)][static_cast<std::size_t>(k)] =
                    static_cast<float>(row[static_cast<std::size_t>(k)] / total);
        }
        return rows;
    }();
    return table;
}

}  // namespace

Mixer::Mixer() : _history(kHistoryFrames * kChannels, 0.0f), _scratch(kScratchFrames * kChannels, 0.0f) {
    sincTable();  // built here, never first on the audio thread
}

Mixer::Voice* Mixer::takeSlot() {
    std::size_t audible = 0;
    Voice* oldest = nullptr;
    for (Voice& voice : _voices) {
        if (!voice.active || voice.fadeLeft != 0) continue;
        ++audible;
        if (!oldest || voice.serial < oldest->serial) oldest = &voice;
    }
    // A full pool fades its oldest voice out rather than cutting it with a click.
    if (audible >= kMaxVoices && oldest) oldest->fadeLeft = kFadeFrames;

    Voice* quietest = nullptr;
    for (Voice& voice : _voices) {
        if (!voice.active) return &voice;
        if (voice.fadeLeft != 0 && (!quietest || voice.fadeLeft < quietest->fadeLeft)) quietest = &voice;
    }
    // Only reached when every slot is fading: the nearly silent one goes.
    if (quietest) {
        quietest->active = false;
        --_playing;
    }
    return quietest;
}

void Mixer::start(std::shared_ptr<const SampleBuffer> samples, float gain) {
    insert(std::move(samples), gain, Voicing{}, 0, nullptr);
}

void Mixer::start(std::shared_ptr<const SampleBuffer> samples, float gain, const Voicing& voicing) {
    insert(std::move(samples), gain, voicing, 0, nullptr);
}

std::size_t Mixer::insert(std::shared_ptr<const SampleBuffer> samples, float gain, std::size_t backFrames,
                          float* out) {
    return insert(std::move(samples), gain, Voicing{}, backFrames, out);
}

std::size_t Mixer::insert(std::shared_ptr<const SampleBuffer> samples, float gain, const Voicing& voicing,
                          std::size_t backFrames, float* out) {
    if (!samples || samples->frameCount() == 0 || !std::isfinite(gain) || gain <= 0.0f) return 0;
    const bool voiced = !voicing.plain();
    float left = gain, right = gain;
    double step = 1.0;
    if (voiced) {
        const float level = std::isfinite(voicing.level) ? std::clamp(voicing.level, 0.0f, 4.0f) : 0.0f;
        if (level * gain <= 0.0f) return 0;
        const float pan = std::isfinite(voicing.pan) ? std::clamp(voicing.pan, -1.0f, 1.0f) : 0.0f;
        // Equal power: left² + right² stays 2·gain², as for a centred voice.
        const double angle = (pan + 1.0) * std::numbers::pi / 4.0;
        left = static_cast<float>(gain * level * std::numbers::sqrt2 * std::cos(angle));
        right = static_cast<float>(gain * level * std::numbers::sqrt2 * std::sin(angle));
        step = std::isfinite(voicing.rate) ? std::clamp(voicing.rate, kMinRate, kMaxRate) : 1.0;
    }
    Voice* voice = takeSlot();
    if (!voice) return 0;
    voice->data = samples->samples.data();
    voice->frames = samples->frameCount();
    voice->keep = std::move(samples);
    voice->position = 0;
    voice->gain = gain;
    voice->fadeLeft = 0;
    voice->serial = _nextSerial++;
    voice->active = true;
    voice->voiced = voiced;
    voice->left = left;
    voice->right = right;
    voice->step = step;
    voice->fraction = 0.0;
    ++_playing;

    backFrames = std::min(backFrames, _historyFill);
    if (backFrames == 0) return 0;
    // The span may wrap around the end of the ring: mix it in up to two pieces.
    std::size_t begin = (_historyEnd + kHistoryFrames - backFrames) % kHistoryFrames;
    std::size_t first = std::min(backFrames, kHistoryFrames - begin);
    mixVoice(*voice, _history.data() + begin * kChannels, first);
    if (first < backFrames) mixVoice(*voice, _history.data(), backFrames - first);
    if (!voice->active) --_playing;
    if (out) {
        clip(_history.data() + begin * kChannels, out, first * kChannels);
        if (first < backFrames) clip(_history.data(), out + first * kChannels, (backFrames - first) * kChannels);
    }
    return backFrames;
}

void Mixer::mixVoice(Voice& voice, float* sum, std::size_t frames) {
    if (voice.voiced) {
        mixVoicedVoice(voice, sum, frames);
        return;
    }
    std::size_t count = std::min(frames, voice.frames - voice.position);
    if (voice.fadeLeft != 0) count = std::min(count, voice.fadeLeft);
    const float* in = voice.data + voice.position * kChannels;
    if (voice.fadeLeft == 0) {
        for (std::size_t i = 0; i < count * kChannels; ++i) sum[i] += in[i] * voice.gain;
    } else {
        const float step = voice.gain / static_cast<float>(kFadeFrames);
        float gain = step * static_cast<float>(voice.fadeLeft);
        for (std::size_t f = 0; f < count; ++f) {
            gain -= step;
            sum[f * 2] += in[f * 2] * gain;
            sum[f * 2 + 1] += in[f * 2 + 1] * gain;
        }
        voice.fadeLeft -= count;
        if (voice.fadeLeft == 0) voice.frames = voice.position + count;  // faded out: finished
    }
    voice.position += count;
    if (voice.position >= voice.frames) voice.active = false;
}

void Mixer::mixVoicedVoice(Voice& voice, float* sum, std::size_t frames) {
    const float* in = voice.data;
    if (voice.step == 1.0 && voice.fadeLeft == 0) {
        // Placed only: each channel at its own gain, as plainly as an unplaced voice.
        const std::size_t count = std::min(frames, voice.frames - voice.position);
        const float* from = in + voice.position * kChannels;
        for (std::size_t f = 0; f < count; ++f) {
            sum[f * 2] += from[f * 2] * voice.left;
            sum[f * 2 + 1] += from[f * 2 + 1] * voice.right;
        }
        voice.position += count;
        if (voice.position >= voice.frames) voice.active = false;
        return;
    }
    const SincTable& table = sincTable();
    const std::size_t length = voice.frames;
    for (std::size_t f = 0; f < frames && voice.position < voice.frames; ++f) {
        float l = 0.0f, r = 0.0f;
        if (voice.fraction == 0.0 && voice.step == 1.0) {
            l = in[voice.position * 2];
            r = in[voice.position * 2 + 1];
        } else {
            const double at = voice.fraction * kPhases;
            const auto phase = static_cast<std::size_t>(at);
            const auto t = static_cast<float>(at - static_cast<double>(phase));
            const float* a = table[phase].data();
            const float* b = table[phase + 1].data();
            const auto first = static_cast<std::ptrdiff_t>(voice.position) - (kTaps / 2 - 1);
            // Frames before the start and past the end read as silence.
            const std::ptrdiff_t from = std::max<std::ptrdiff_t>(0, -first);
            const std::ptrdiff_t to =
                std::min<std::ptrdiff_t>(kTaps, static_cast<std::ptrdiff_t>(length) - first);
            for (std::ptrdiff_t k = from; k < to; ++k) {
                const float c = a[k] + t * (b[k] - a[k]);
                const float* frame = in + (first + k) * 2;
                l += c * frame[0];
                r += c * frame[1];
            }
        }
        float fade = 1.0f;
        bool fadedOut = false;
        if (voice.fadeLeft != 0) {
            fade = static_cast<float>(--voice.fadeLeft) / static_cast<float>(kFadeFrames);
            fadedOut = voice.fadeLeft == 0;
        }
        sum[f * 2] += l * voice.left * fade;
        sum[f * 2 + 1] += r * voice.right * fade;
        voice.fraction += voice.step;
        const double whole = std::floor(voice.fraction);
        voice.position += static_cast<std::size_t>(whole);
        voice.fraction -= whole;
        if (fadedOut) voice.frames = voice.position;
    }
    if (voice.position >= voice.frames) voice.active = false;
}

void Mixer::render(float* out, std::size_t frames) {
    while (frames > 0) {
        std::size_t chunk = std::min(frames, kScratchFrames);
        float* sum = _scratch.data();
        std::fill(sum, sum + chunk * kChannels, 0.0f);
        if (_playing != 0) {
            for (Voice& voice : _voices) {
                if (!voice.active) continue;
                mixVoice(voice, sum, chunk);
                if (!voice.active) --_playing;
            }
        }
        keepHistory(sum, chunk);
        clip(sum, out, chunk * kChannels);
        out += chunk * kChannels;
        frames -= chunk;
    }
}

void Mixer::keepHistory(const float* sum, std::size_t frames) {
    while (frames > 0) {
        std::size_t piece = std::min(frames, kHistoryFrames - _historyEnd);
        std::copy(sum, sum + piece * kChannels, _history.begin() + static_cast<std::ptrdiff_t>(_historyEnd * kChannels));
        _historyEnd = (_historyEnd + piece) % kHistoryFrames;
        _historyFill = std::min(_historyFill + piece, kHistoryFrames);
        sum += piece * kChannels;
        frames -= piece;
    }
}

void Mixer::clip(const float* sum, float* out, std::size_t samples) {
    for (std::size_t i = 0; i < samples; ++i) {
        float x = sum[i];
        float magnitude = std::fabs(x);
        if (magnitude <= kKnee) {
            out[i] = x;
        } else {
            float bent = kKnee + (1.0f - kKnee) * std::tanh((magnitude - kKnee) / (1.0f - kKnee));
            out[i] = std::copysign(bent, x);
        }
    }
}

std::uint64_t Mixer::oldestPlaying() const {
    std::uint64_t oldest = _nextSerial;
    for (const Voice& voice : _voices) {
        if (voice.active) oldest = std::min(oldest, voice.serial);
    }
    return oldest;
}

void Mixer::releaseFinished() {
    for (Voice& voice : _voices) {
        if (!voice.active && voice.keep) {
            voice.keep.reset();
            voice.data = nullptr;
        }
    }
}

void Mixer::reset() {
    for (Voice& voice : _voices) voice.active = false;
    _playing = 0;
    _historyFill = 0;
    releaseFinished();
}

}  // namespace tapsound::platform
