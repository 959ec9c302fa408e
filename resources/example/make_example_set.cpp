// Synthesises the example sound set's key sounds, so nothing recorded or downloaded ships.
#include <sndfile.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

struct Voice {
    const char* file;
    int format;
    int sampleRate;
    double seconds;
    double toneHz;     // the body of the key
    double noiseMix;   // the click of the switch
    double decay;      // per second
    std::uint32_t seed;
};

std::vector<float> synthesise(const Voice& v) {
    const auto frames = static_cast<std::size_t>(v.seconds * v.sampleRate);
    std::vector<float> out(frames);
    std::uint32_t state = v.seed;
    double lowpass = 0.0;
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / v.sampleRate;
        state = state * 1664525u + 1013904223u;
        const double noise = (static_cast<double>(state >> 8) / 8388608.0) - 1.0;
        lowpass += 0.35 * (noise - lowpass);
        const double envelope = std::exp(-v.decay * t) * std::min(1.0, t * 4000.0);
        const double body = std::sin(2.0 * M_PI * v.toneHz * t) * std::exp(-v.decay * 0.6 * t);
        out[i] = static_cast<float>(0.7 * envelope * (v.noiseMix * lowpass + (1.0 - v.noiseMix) * body));
    }
    return out;
}

bool write(const std::filesystem::path& path, const Voice& v) {
    SF_INFO info{};
    info.samplerate = v.sampleRate;
    info.channels = 1;
    info.format = v.format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) return false;
    const auto samples = synthesise(v);
    const auto written = sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
    return written == static_cast<sf_count_t>(samples.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_example_set SOUNDS_FOLDER\n");
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    const int wav = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    const int aiff = SF_FORMAT_AIFF | SF_FORMAT_PCM_16;
    const int flac = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    const Voice voices[] = {
        {"click.wav", wav, 48000, 0.045, 1800.0, 0.75, 120.0, 1},
        {"space.aiff", aiff, 44100, 0.09, 420.0, 0.45, 55.0, 2},
        {"return.flac", flac, 48000, 0.12, 300.0, 0.40, 40.0, 3},
        {"backspace.wav", wav, 44100, 0.06, 900.0, 0.60, 80.0, 4},
        {"tick1.wav", wav, 48000, 0.04, 2200.0, 0.80, 140.0, 5},
        {"tick2.wav", wav, 48000, 0.04, 2000.0, 0.80, 140.0, 6},
        {"tick3.aiff", aiff, 48000, 0.04, 2500.0, 0.85, 150.0, 7},
    };
    for (const auto& v : voices) {
        if (!write(folder / v.file, v)) {
            std::fprintf(stderr, "make_example_set: cannot write %s\n", v.file);
            return 1;
        }
    }
    return 0;
}
