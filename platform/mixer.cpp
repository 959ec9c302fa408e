#include "platform/mixer.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace tapsound::platform {

namespace {

constexpr std::size_t kScratchFrames = 1024;
// Below this the sum passes untouched; above it bends smoothly towards full scale.
constexpr float kKnee = 0.75f;

}  // namespace

Mixer::Mixer() : _history(kHistoryFrames * kChannels, 0.0f), _scratch(kScratchFrames * kChannels, 0.0f) {}

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
    insert(std::move(samples), gain, 0, nullptr);
}

std::size_t Mixer::insert(std::shared_ptr<const SampleBuffer> samples, float gain, std::size_t backFrames,
                          float* out) {
    if (!samples || samples->frameCount() == 0 || !std::isfinite(gain) || gain <= 0.0f) return 0;
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
