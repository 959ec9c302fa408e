// Arbitrary bytes as a sound pack: a zip archive when they start as one, else a config.json in a
// folder of sounds; every table must come out whole.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/file_manager_posix.h"
#include "soundset/pack_tables.h"

namespace {

// Any file or entry of at least one byte is a sound, empty ones are not.
struct AnyBytesLoader : tapsound::platform::SoundLoader {
    using Sound = std::shared_ptr<const tapsound::platform::Sound>;
    static Sound made(std::size_t size) {
        return size ? std::make_shared<tapsound::platform::Sound>(
                          std::make_shared<tapsound::platform::SampleBuffer>(), nullptr)
                    : nullptr;
    }
    Sound initWithContentsOfFile(const std::string& path) override {
        std::error_code error;
        const auto size = std::filesystem::file_size(path, error);
        return made(error ? 0 : size);
    }
    Sound initWithData(std::span<const std::uint8_t> bytes, const std::string&) override {
        return made(bytes.size());
    }
    std::vector<std::string> soundUnfilteredTypes() const override { return {"wav", "ogg"}; }
};

std::string folder() {
    static std::string pattern = "/tmp/tapsound-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) std::abort();
    std::atexit([] { std::filesystem::remove_all(pattern); });
    for (const char* name : {"a.wav", "b.ogg", "k1.wav", "k2.wav", "sprite.ogg"}) {
        std::ofstream(pattern + "/" + name) << "sound";
    }
    return pattern;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string dir = folder();
    static AnyBytesLoader loader;
    static tapsound::platform::PosixFileManager files;
    const bool zipped = size >= 2 && data[0] == 'P' && data[1] == 'K';
    const std::string path = dir + (zipped ? "/pack.zip" : "/config.json");
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    const auto pack = tapsound::configJsonPackAtPath(zipped ? path : dir, files, loader);
    if (!pack) return 0;
    for (const auto* table : {&pack->press, &pack->release}) {
        for (const auto& slot : *table) {
            if (slot && (slot->sounds.empty() ||
                         (slot->weighted && slot->thresholds.size() + 1 != slot->sounds.size())))
                __builtin_trap();
        }
    }
    return 0;
}
