#include "tests/support/sound_files.h"

#include <QString>
#include <sndfile.h>
#include <zip.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/property_list.h"

namespace tapsound::test {

namespace {

float sine(double frequency, double rate, std::size_t i) {
    return static_cast<float>(std::sin(2.0 * M_PI * frequency * static_cast<double>(i) / rate));
}

void makeFolderOf(const std::string& path) {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
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
    makeFolderOf(path);
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
    makeFolderOf(path);
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

std::string bigEndian(std::uint64_t value, int size) {
    std::string out;
    for (int i = size - 1; i >= 0; --i) out += static_cast<char>(value >> (8 * i));
    return out;
}

namespace {

// Appends `value` and what it holds as objects of a binary list, nothing shared; its index.
std::uint64_t writeObject(const platform::PlistValue& value, std::vector<std::string>& objects) {
    using Type = platform::PlistValue::Type;
    const auto counted = [](unsigned type, std::uint64_t count) {
        return std::string(1, static_cast<char>(type << 4 | std::min<std::uint64_t>(count, 15))) +
               (count >= 15 ? '\x13' + bigEndian(count, 8) : "");
    };
    const std::uint64_t index = objects.size();
    objects.emplace_back();
    std::string out, refs;
    const std::string& text = value.stringValue();
    const double number = value.doubleValue().value_or(0);
    switch (value.type()) {
        case Type::String:
            if (std::all_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x80; })) {
                out = counted(0x5, text.size()) + text;
            } else {
                const QString wide = QString::fromStdString(text);
                out = counted(0x6, static_cast<std::uint64_t>(wide.size()));
                for (const QChar c : wide) out += bigEndian(c.unicode(), 2);
            }
            break;
        case Type::Integer:
            out = '\x13' + bigEndian(static_cast<std::uint64_t>(value.integerValue()), 8);
            break;
        case Type::Boolean:
            out = number != 0 ? "\x09" : "\x08";
            break;
        case Type::Array:
            for (const auto& item : value.arrayValue()) refs += bigEndian(writeObject(item, objects), 4);
            out = counted(0xa, value.arrayValue().size()) + refs;
            break;
        case Type::Dictionary: {
            std::string values;
            for (const auto& [key, item] : value.dictionaryValue()) {
                refs += bigEndian(writeObject(platform::PlistValue::string(key), objects), 4);
                values += bigEndian(writeObject(item, objects), 4);
            }
            out = counted(0xd, value.dictionaryValue().size()) + refs + values;
            break;
        }
        default:  // a real; dates and data are not written
            out = '\x23' + bigEndian(std::bit_cast<std::uint64_t>(number), 8);
    }
    objects[index] = std::move(out);
    return index;
}

}  // namespace

std::string binaryPropertyList(const std::string& xml) {
    const auto root = platform::propertyListWithBytes(
        reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size());
    if (!root) return {};
    std::vector<std::string> objects;
    writeObject(*root, objects);
    return binaryPropertyList(objects, 4, objects.size());
}

std::string binaryPropertyList(const std::vector<std::string>& objects, int refSize,
                               std::uint64_t count) {
    std::string out = "bplist00", table;
    for (const std::string& object : objects) {
        table += bigEndian(out.size(), 4);
        out += object;
    }
    return out + table + std::string(6, '\0') + '\x04' + char(refSize) + bigEndian(count, 8) +
           bigEndian(0, 8) + bigEndian(out.size(), 8);
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
