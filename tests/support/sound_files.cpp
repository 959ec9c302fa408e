#include "tests/support/sound_files.h"

#include <plist/plist.h>
#include <sndfile.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace tapsound::test {

bool writeTone(const std::string& path, const Tone& tone) {
    SF_INFO info{};
    info.samplerate = tone.sampleRate;
    info.channels = tone.channels;
    info.format = tone.format ? tone.format : (SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) return false;
    const auto frames = static_cast<std::size_t>(tone.seconds * tone.sampleRate);
    std::vector<float> samples(frames * static_cast<std::size_t>(tone.channels));
    for (std::size_t i = 0; i < frames; ++i) {
        const float v = static_cast<float>(
            tone.amplitude * std::sin(2.0 * M_PI * tone.frequency * static_cast<double>(i) / tone.sampleRate));
        for (int c = 0; c < tone.channels; ++c) samples[i * tone.channels + c] = v;
    }
    const sf_count_t written = sf_writef_float(file, samples.data(), static_cast<sf_count_t>(frames));
    sf_close(file);
    return written == static_cast<sf_count_t>(frames);
}

std::shared_ptr<const platform::SampleBuffer> toneBuffer(double seconds, double frequency, float amplitude) {
    using platform::SampleBuffer;
    auto buffer = std::make_shared<SampleBuffer>();
    const auto frames = static_cast<std::size_t>(seconds * SampleBuffer::kSampleRate);
    for (std::size_t i = 0; i < frames; ++i) {
        const float value = amplitude * static_cast<float>(std::sin(2 * M_PI * frequency * static_cast<double>(i) /
                                                                    SampleBuffer::kSampleRate));
        buffer->samples.push_back(value);
        buffer->samples.push_back(value);
    }
    return buffer;
}

bool writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    return static_cast<bool>(out);
}

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string binaryPropertyList(const std::string& xml) {
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    if (!root) return {};
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    std::string binary(bytes ? bytes : "", bytes ? length : 0);
    plist_to_bin_free(bytes);
    plist_free(root);
    return binary;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tapsound-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data())) _path = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!_path.empty()) std::filesystem::remove_all(_path, ignored);
}

}  // namespace tapsound::test
