#include "tests/support/sound_files.h"

#include <plist/plist.h>
#include <sndfile.h>
#include <zip.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace tapsound::test {

namespace {

float sine(double frequency, double rate, std::size_t i) {
    return static_cast<float>(std::sin(2.0 * M_PI * frequency * static_cast<double>(i) / rate));
}

}  // namespace

bool writeTone(const std::string& path, const Tone& tone) {
    const auto frames = static_cast<std::size_t>(tone.seconds * tone.sampleRate);
    std::vector<float> samples;
    for (std::size_t i = 0; i < frames; ++i) {
        const float v =
            static_cast<float>(tone.amplitude) * sine(tone.frequency, tone.sampleRate, i);
        samples.insert(samples.end(), static_cast<std::size_t>(tone.channels), v);
    }
    return writeSamples(path, tone.format ? tone.format : (SF_FORMAT_WAV | SF_FORMAT_PCM_16),
                        tone.sampleRate, tone.channels, samples);
}

bool writeSamples(const std::string& path, int format, int sampleRate, int channels,
                  const std::vector<float>& samples) {
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) return false;
    const auto frames = static_cast<sf_count_t>(samples.size()) / channels;
    // In chunks: libvorbis crashes on one write of a minute of audio.
    sf_count_t written = 0;
    for (sf_count_t at = 0; at < frames; at += 4096) {
        written += sf_writef_float(file, samples.data() + at * channels,
                                   std::min<sf_count_t>(4096, frames - at));
    }
    sf_close(file);
    return written == frames;
}

std::shared_ptr<const platform::SampleBuffer> toneBuffer(double seconds, double frequency,
                                                         float amplitude) {
    using platform::SampleBuffer;
    auto buffer = std::make_shared<SampleBuffer>();
    const auto frames = static_cast<std::size_t>(seconds * SampleBuffer::kSampleRate);
    for (std::size_t i = 0; i < frames; ++i) {
        buffer->samples.insert(buffer->samples.end(), 2,
                               amplitude * sine(frequency, SampleBuffer::kSampleRate, i));
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

bool writeZip(const std::string& path,
              const std::vector<std::pair<std::string, std::string>>& entries) {
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!archive) return false;
    for (const auto& [name, bytes] : entries) {
        zip_source_t* source = zip_source_buffer(archive, bytes.data(), bytes.size(), 0);
        if (!source || zip_file_add(archive, name.c_str(), source, ZIP_FL_ENC_UTF_8) < 0) {
            zip_source_free(source);
            zip_discard(archive);
            return false;
        }
    }
    return zip_close(archive) == 0;
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
    if (mkdtemp(pattern.data())) _path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!_path.empty()) std::filesystem::remove_all(_path, ignored);
}

}  // namespace tapsound::test
