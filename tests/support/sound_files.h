#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/sound.h"

namespace tapsound::test {

struct Tone {
    int format = 0;  // libsndfile major | subtype; 0 means WAV, 16-bit PCM
    int sampleRate = 44100;
    int channels = 1;
    double seconds = 0.1;
    double frequency = 1000.0;
    double amplitude = 0.5;
};

// Writes a sine tone with libsndfile; false when it could not be written. These writers make the
// file's folders as needed.
bool writeTone(const std::string& path, const Tone& tone = {});
// Writes interleaved frames with libsndfile; false when not all of them could be written.
bool writeSamples(const std::string& path, int format, int sampleRate, int channels,
                  const std::vector<float>& samples);
// A decoded stereo sine tone at the mixer's rate, as a loaded sound would hold it.
std::shared_ptr<const platform::SampleBuffer> toneBuffer(double seconds, double frequency, float amplitude);
// Writes bytes as they are, for files that are not sounds.
bool writeBytes(const std::string& path, const std::string& bytes);
std::string readBytes(const std::string& path);
// Writes a zip archive of (name, bytes) entries through libzip, deflated, names as given.
bool writeZip(const std::string& path, const std::vector<std::pair<std::string, std::string>>& entries);
// An XML property list of strings, numbers, booleans and lists in binary form, every value an
// object of its own; empty when it does not parse.
std::string binaryPropertyList(const std::string& xml);
// `value` in `size` bytes, most significant first, as a binary property list holds it.
std::string bigEndian(std::uint64_t value, int size);
// A binary property list of the objects as written, the root first, its references `refSize`
// bytes long; its trailer claims `count` objects.
std::string binaryPropertyList(const std::vector<std::string>& objects, int refSize,
                               std::uint64_t count);

// A fresh temporary folder, removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return _path; }
    std::string file(const std::string& name) const { return _path + "/" + name; }

private:
    std::string _path;
};

}  // namespace tapsound::test
