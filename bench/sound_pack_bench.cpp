// Opening config.json sound packs as users have them: 100 Ogg Vorbis files of 200 ms (44.1 kHz
// stereo), and one 60 s Ogg Vorbis sprite cut into 100 slices of 150 ms; each as a folder and as a
// zip. Reports the decoded memory the tables keep. Then the largest pack of each other program's
// format, beside a naive reader of the same files.
// Then hostile sets, each opened in a child process of its own: the time and CPU to open it, the
// child's peak memory, and how long a load takes to end once asked to stop 300 ms in. An empty
// folder is the reference: what a child holds before it reads anything.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "platform/file_manager_posix.h"
#include "platform/sound_file.h"
#include "soundset/pack_tables.h"
#include "soundset/sound_scan.h"
#include "tests/support/sound_files.h"

namespace {

using tapsound::test::TempDir;
using tapsound::test::Tone;

constexpr int kKeys = 100;
// Set-1 scancodes of 100 distinct keys: the main block and keypad, then the extended ones.
std::vector<unsigned> scancodes() {
    std::vector<unsigned> codes;
    for (unsigned code = 1; code <= 83; ++code) codes.push_back(code);
    for (unsigned code : {86, 87, 88}) codes.push_back(code);
    for (unsigned low :
         {0x1C, 0x1D, 0x35, 0x37, 0x38, 0x47, 0x48, 0x49, 0x4B, 0x4D, 0x4F, 0x50, 0x51, 0x52}) {
        codes.push_back(0x0E00 | low);
    }
    return codes;
}

// Writes the pack into dir/pack, and the same as dir/pack.zip.
void writePack(const TempDir& dir, bool sprite) {
    std::filesystem::create_directories(dir.file("pack"));
    const Tone ogg{SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100, 2, 0.2, 440.0, 0.5};
    std::string defines;
    std::vector<std::pair<std::string, std::string>> entries;
    int i = 0;
    for (const unsigned code : scancodes()) {
        if (sprite) {
            defines += "\"" + std::to_string(code) + "\": [" + std::to_string(i * 590) + ", 150],";
        } else {
            const std::string name = "sounds/k" + std::to_string(i) + ".ogg";
            std::filesystem::create_directories(dir.file("pack/sounds"));
            Tone tone = ogg;
            tone.frequency = 300.0 + i * 10;
            tapsound::test::writeTone(dir.file("pack/" + name), tone);
            entries.emplace_back(name, tapsound::test::readBytes(dir.file("pack/" + name)));
            defines += "\"" + std::to_string(code) + "\": \"" + name + "\",";
        }
        ++i;
    }
    if (sprite) {
        Tone tone = ogg;
        tone.seconds = 60.0;
        tapsound::test::writeTone(dir.file("pack/sprite.ogg"), tone);
        entries.emplace_back("sprite.ogg", tapsound::test::readBytes(dir.file("pack/sprite.ogg")));
    }
    const std::string config = std::string("{\"key_define_type\": \"") +
                               (sprite ? "single" : "multi") +
                               "\", \"sound\": \"sprite.ogg\", \"defines\": {" + defines + "}}";
    tapsound::test::writeBytes(dir.file("pack/config.json"), config);
    entries.emplace_back("config.json", config);
    tapsound::test::writeZip(dir.file("pack.zip"), entries);
}

void BM_OpenPack(benchmark::State& state) {
    const bool sprite = state.range(0) != 0, zipped = state.range(1) != 0;
    TempDir dir;
    writePack(dir, sprite);
    const std::string path = dir.file(zipped ? "pack.zip" : "pack");
    tapsound::platform::PosixFileManager files;
    tapsound::platform::SndfileSoundLoader loader(nullptr);
    std::size_t kept = 0, playing = 0;
    for (auto _ : state) {
        const auto pack = tapsound::configJsonPackAtPath(path, files, loader);
        if (!pack) {
            state.SkipWithError("not read as a pack");
            break;
        }
        std::set<const tapsound::platform::SampleBuffer*> buffers;
        playing = 0;
        for (const auto& slot : pack->press) {
            if (!slot) continue;
            ++playing;
            for (const auto& sound : slot->sounds) buffers.insert(sound->samples().get());
        }
        kept = 0;
        for (const auto* buffer : buffers) kept += buffer->samples.size() * sizeof(float);
        benchmark::DoNotOptimize(pack);
    }
    if (playing != kKeys) state.SkipWithError("not every key plays");
    state.counters["kept_MiB"] = static_cast<double>(kept) / (1 << 20);
    state.counters["keys"] = static_cast<double>(playing);
}
BENCHMARK(BM_OpenPack)
    ->ArgNames({"sprite", "zip"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0)
    ->UseRealTime();

// The largest pack of each other program's format we build: 56 keys (letters, digits, F1-F20),
// each with a press and a release, from 200 ms Ogg files or a 60 s Ogg sprite.
enum Format { DxSprite, KeyboardSounds, Thock, KeyEcho, KeyEcho2, kFormats };
const char* const kFormatNames[] = {"MechvibesDX single", "keyboardsounds", "Thock (2 variants)",
                                    "KeyEcho 1", "KeyEcho 2 (3 slices)"};

std::vector<std::string> keyNames(Format format) {
    const bool prefixed = format == DxSprite || format == KeyEcho || format == KeyEcho2;
    std::vector<std::string> names;
    for (char c = 'a'; c <= 'z'; ++c) names.push_back(prefixed ? std::string("Key") + char(c - 32) : std::string(1, c));
    for (int d = 0; d < 10; ++d) {
        names.push_back((format == DxSprite ? "Digit" : prefixed ? "Num" : "") + std::to_string(d));
    }
    for (int n = 1; n <= 20; ++n) names.push_back("f" + std::to_string(n));
    return names;
}

// Writes the pack into dir/<format>, and the same as dir/<format>.zip; the files a naive reader
// decodes in turn, and the slices of each key it cuts from the sprite.
struct Written {
    std::vector<std::string> files;
    std::vector<tapsound::platform::SoundSlice> slices;
};
Written writeFormatPack(const TempDir& dir, Format format) {
    const std::string folder = std::to_string(format);
    std::filesystem::create_directories(dir.file(folder));
    std::vector<std::pair<std::string, std::string>> entries;
    Written written;
    const auto add = [&](const std::string& name, double seconds, double frequency) {
        const std::string path = dir.file(folder + "/" + name);
        tapsound::test::writeTone(
            path, {SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100, 2, seconds, frequency, 0.5});
        entries.emplace_back(name, tapsound::test::readBytes(path));
        written.files.push_back(path);
    };
    const auto names = keyNames(format);
    std::string description;
    if (format == KeyboardSounds || format == Thock) {
        description = format == Thock ? R"({"metadata": {"name": "big"}, "sounds": {)"
                                      : "profile: {name: big, type: files}\nsources:\n";
        std::string keys;
        for (std::size_t i = 0; i < names.size(); ++i) {
            const std::string k = std::to_string(i);
            add(k + "a.ogg", 0.2, 300.0 + i), add(k + "u.ogg", 0.2, 900.0 + i);
            if (format == Thock) {
                add(k + "b.ogg", 0.2, 600.0 + i);
                description += (i ? ", \"" : "\"") + names[i] + R"(": {"down": [")" + k + "a.ogg\", \"" +
                               k + R"(b.ogg"], "up": [")" + k + "u.ogg\"]}";
            } else {
                description += "  - {id: s" + k + ", source: {press: " + k + "a.ogg, release: " + k +
                               "u.ogg}}\n";
                keys += "    - {sound: s" + k + ", keys: [" + names[i] + "]}\n";
            }
        }
        description += format == Thock ? "}}" : "keys:\n  other:\n" + keys;
    } else {
        add(format == KeyEcho2 ? "all.ogg" : "sound.ogg", 60.0, 440.0);
        std::string press, release;
        for (std::size_t i = 0; i < names.size(); ++i) {
            const int at = int(i) * 900;
            const auto ms = [](int a, int b) { return "[" + std::to_string(a) + ", " + std::to_string(b) + "]"; };
            const auto frames = [](int a, int n) {
                return R"({"startFrame": )" + std::to_string(a * 48) + R"(, "frameCount": )" +
                       std::to_string(n * 48) + "}";
            };
            const std::string sep = i ? ", \"" : "\"";
            if (format == DxSprite) {
                press += sep + names[i] + R"(": {"timing": [)" + ms(at, at + 150) + ", " +
                         ms(at + 300, at + 420) + "]}";
            } else if (format == KeyEcho) {
                press += sep + names[i] + "\": " + ms(at, 150);
                release += sep + names[i] + "\": " + ms(at + 300, 120);
            } else {
                press += sep + names[i] + R"(": {"slices": [)" + frames(at, 150) + ", " +
                         frames(at + 160, 150) + ", " + frames(at + 320, 150) + "]}";
                release += sep + names[i] + "\": [" + frames(at + 600, 120) + "]";
            }
            for (const int start : {at, at + 160, at + 320, at + 600}) {
                written.slices.push_back({double(start), 150.0});
            }
        }
        description =
            format == DxSprite
                ? R"({"config_version": "2", "definition_method": "single", "audio_file": "sound.ogg", "definitions": {)" +
                      press + "}}"
            : format == KeyEcho
                ? R"({"key_define_type": "single", "defines": {)" + press + R"(}, "releases": {)" +
                      release + "}}"
                : R"({"schemaVersion": 2, "audio": {"file": "all.ogg", "sampleRate": 44100, "channels": 2, "frameCount": 2646000}, "defines": {)" +
                      press + R"(}, "releases": {)" + release + "}}";
    }
    const std::string marker = format == KeyboardSounds ? "profile.yaml" : "config.json";
    tapsound::test::writeBytes(dir.file(folder + "/" + marker), description);
    entries.emplace_back(marker, description);
    tapsound::test::writeZip(dir.file(folder + ".zip"), entries);
    return written;
}

// Ours from a folder and from a zip, beside a naive reader of the same folder: every file decoded
// in turn on one thread, or the sprite read again from its start for every key.
void BM_OpenOtherProgramsPack(benchmark::State& state) {
    const auto format = static_cast<Format>(state.range(0));
    const int how = static_cast<int>(state.range(1));  // 0 folder, 1 zip, 2 naive reference
    state.SetLabel(std::string(kFormatNames[format]) +
                   (how == 0 ? ", folder" : how == 1 ? ", zip" : ", naive reference"));
    TempDir dir;
    const Written written = writeFormatPack(dir, format);
    const std::string path = dir.file(std::to_string(format) + (how == 1 ? ".zip" : ""));
    tapsound::platform::PosixFileManager files;
    tapsound::platform::SndfileSoundLoader loader(nullptr);
    std::size_t playing = 0;
    for (auto _ : state) {
        if (how == 2) {
            tapsound::platform::LoadBudget budget;
            std::size_t sounds = 0;
            for (const auto& file : written.files) {
                // A key at a time, each call reading the sprite from its start.
                for (std::size_t k = 0; k < written.slices.size(); k += 4) {
                    const std::vector<tapsound::platform::SoundSlice> key(
                        written.slices.begin() + k, written.slices.begin() + k + 4);
                    sounds += loader.slicesWithContentsOfFile(file, key, budget).size();
                }
                if (written.slices.empty()) {
                    sounds += loader.initWithContentsOfFile(file, budget) != nullptr;
                }
            }
            benchmark::DoNotOptimize(sounds);
            continue;
        }
        const auto pack = tapsound::packAtPath(path, files, loader);
        playing = 0;
        for (const auto& slot : pack ? pack->press : tapsound::KeyArray{}) playing += slot != nullptr;
        benchmark::DoNotOptimize(pack);
    }
    if (how != 2 && playing < 56) state.SkipWithError("not every key plays");
}
BENCHMARK(BM_OpenOtherProgramsPack)
    ->ArgsProduct({benchmark::CreateDenseRange(0, kFormats - 1, 1), {0, 1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0)
    ->UseRealTime();

// A WAV of silence that takes no disk: a header written by libsndfile, the samples a hole.
void sparseWav(const std::string& path, int format, int rate, int channels, double seconds) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    std::vector<float> frame(static_cast<std::size_t>(channels));
    sf_writef_float(file, frame.data(), 1);
    sf_close(file);
    std::string bytes = tapsound::test::readBytes(path);
    const auto data = bytes.rfind("data");
    const int width = (format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_U8 ? 1 : 4;
    const auto size = static_cast<std::uint32_t>(seconds * rate) * channels * width;
    bytes.resize(data + 8);
    std::memcpy(bytes.data() + data + 4, &size, 4);
    const auto riff = static_cast<std::uint32_t>(bytes.size() - 8 + size);
    std::memcpy(bytes.data() + 4, &riff, 4);
    tapsound::test::writeBytes(path, bytes);
    if (truncate(path.c_str(), static_cast<off_t>(bytes.size() + size)) != 0) return;
}

// A zip of files on disk, streamed by libzip.
void zipFiles(const std::string& path,
              const std::vector<std::pair<std::string, std::string>>& files) {
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    for (const auto& [name, file] : files) {
        zip_file_add(archive, name.c_str(), zip_source_file(archive, file.c_str(), 0, -1), 0);
    }
    zip_close(archive);
}

struct Hostile {
    const char* name;
    std::function<void(const TempDir&)> write;
    std::string location;
};

const std::vector<Hostile>& hostileSets() {
    using tapsound::test::writeBytes;
    static const std::vector<Hostile> sets{
        {"reference: empty folder",
         [](const TempDir& d) { std::filesystem::create_directories(d.file("empty")); }, "empty"},
        {"4 MB name pattern in a zip",
         [](const TempDir& d) {
             writeBytes(d.file("names.json"), "{\"defines\": {\"30\": \"" +
                                                  std::string(4000000, 'a') + "{0-255}.wav\"}}");
             zipFiles(d.file("names.zip"), {{"config.json", d.file("names.json")}});
         },
         "names.zip"},
        {"210 distinct 30 s slices of an 8-bit sprite",
         [](const TempDir& d) {
             sparseWav(d.file("sprite.wav"), SF_FORMAT_PCM_U8, 8000, 1, 600);
             std::string defines;
             for (int i = 0; i < 210; ++i) {
                 defines +=
                     "\"" + std::to_string(i + 2) + "\": [" + std::to_string(i) + ", 30000],";
             }
             writeBytes(d.file("sprite.json"),
                        R"({"key_define_type": "single", "sound": "s.wav", "defines": {)" +
                            defines + "}}");
             zipFiles(d.file("sprite.zip"),
                      {{"config.json", d.file("sprite.json")}, {"s.wav", d.file("sprite.wav")}});
         },
         "sprite.zip"},
        {"ten 30 s 384 kHz float WAVs in a zip",
         [](const TempDir& d) {
             sparseWav(d.file("f384.wav"), SF_FORMAT_FLOAT, 384000, 2, 30);
             std::string defines;
             std::vector<std::pair<std::string, std::string>> files;
             for (int i = 0; i < 10; ++i) {
                 files.emplace_back(std::to_string(i) + ".wav", d.file("f384.wav"));
                 defines += "\"" + std::to_string(i + 2) + "\": \"" + std::to_string(i) + ".wav\",";
             }
             writeBytes(d.file("f384.json"), "{\"defines\": {" + defines + "}}");
             files.emplace_back("config.json", d.file("f384.json"));
             zipFiles(d.file("f384.zip"), files);
         },
         "f384.zip"},
        {"zip entries claiming 1,000 bytes inflating to 127 MB",
         [](const TempDir& d) {
             sparseWav(d.file("lie.wav"), SF_FORMAT_FLOAT, 384000, 1, 10.3);
             std::string defines;
             std::vector<std::pair<std::string, std::string>> files;
             for (int i = 0; i < 8; ++i) {
                 files.emplace_back(std::to_string(i) + ".wav", d.file("lie.wav"));
                 defines += "\"" + std::to_string(i + 2) + "\": \"" + std::to_string(i) + ".wav\",";
             }
             writeBytes(d.file("lie.json"), "{\"defines\": {" + defines + "}}");
             files.emplace_back("config.json", d.file("lie.json"));
             zipFiles(d.file("lie.zip"), files);
             std::string bytes = tapsound::test::readBytes(d.file("lie.zip"));
             for (std::size_t at = 0; (at = bytes.find("PK\x01\x02", at)) != std::string::npos;
                  at += 4) {
                 if (bytes.compare(at + 46, 11, "config.json") != 0)
                     bytes.replace(at + 24, 4, std::string("\xe8\x03\0\0", 4));
             }
             writeBytes(d.file("lie.zip"), bytes);
         },
         "lie.zip"},
        {"one 30 s 384 kHz 64-channel WAV (2.9 GB sparse)",
         [](const TempDir& d) {
             std::filesystem::create_directories(d.file("wide"));
             sparseWav(d.file("wide/wide.wav"), SF_FORMAT_FLOAT, 384000, 64, 30);
         },
         "wide"},
        {"a profile.yaml alias bomb: 4,096 entries sharing 4,096 key names",
         [](const TempDir& d) {
             std::filesystem::create_directories(d.file("bomb"));
             tapsound::test::writeTone(d.file("bomb/k.wav"), {0, 48000, 2, 0.1});
             std::string names = "[a", entries = "[*e";
             for (int i = 1; i < 4096; ++i) names += ", space", entries += ", *e";
             writeBytes(d.file("bomb/profile.yaml"),
                        "profile: {name: bomb}\nsources: [{id: k, source: k.wav}]\nn: &n " + names +
                            "]\ne: &e {sound: k, keys: *n}\nkeys: {other: " + entries + "]}\n");
         },
         "bomb"},
        {"a 400 KB profile.yaml of 200,000 nested lists",
         [](const TempDir& d) {
             std::filesystem::create_directories(d.file("deep"));
             writeBytes(d.file("deep/profile.yaml"), "profile: {name: deep}\nkeys: " +
                                                         std::string(200000, '[') +
                                                         std::string(200000, ']') + "\n");
         },
         "deep"},
        {"a folder of 2,000 links to one 30 s sound",
         [](const TempDir& d) {
             std::filesystem::create_directories(d.file("links"));
             tapsound::test::writeTone(d.file("long.wav"), {0, 48000, 2, 30.0});
             for (int i = 0; i < 2000; ++i) {
                 std::filesystem::create_symlink(d.file("long.wav"),
                                                 d.file("links/" + std::to_string(i) + ".wav"));
             }
         },
         "links"},
    };
    return sets;
}

// Opens the location as the loader would: as a pack, else as a folder of sounds.
void openSet(const std::string& path, const std::function<bool()>& stopped) {
    tapsound::platform::PosixFileManager files;
    tapsound::platform::SndfileSoundLoader loader(nullptr);
    if (!tapsound::packAtPath(path, files, loader, stopped)) {
        tapsound::soundsDictionaryWithDirectryPath(files, loader, path, stopped);
    }
}

void BM_HostileSet(benchmark::State& state) {
    static TempDir dir;
    const Hostile& set = hostileSets()[static_cast<std::size_t>(state.range(0))];
    state.SetLabel(set.name);
    if (!std::filesystem::exists(dir.file(set.location))) set.write(dir);
    const std::string path = dir.file(set.location);
    double seconds = 0, cpu = 0, peakMiB = 0, stopMs = 0;
    for (auto _ : state) {
        // The whole load, in a child whose peak memory is its own.
        const auto start = std::chrono::steady_clock::now();
        pid_t child = fork();
        if (child == 0) {
            openSet(path, {});
            _exit(0);
        }
        int status = 0;
        rusage usage{};
        wait4(child, &status, 0, &usage);
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        peakMiB = double(usage.ru_maxrss) / 1024;
        state.SetIterationTime(seconds);

        // Asked to stop 300 ms in: how long until the load has ended.
        int pipeFds[2];
        if (pipe(pipeFds) != 0) break;
        child = fork();
        if (child == 0) {
            std::atomic<bool> stop{false};
            std::atomic<bool> done{false};
            std::thread load([&] {
                openSet(path, [&] { return stop.load(); });
                done = true;
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            const auto asked = std::chrono::steady_clock::now();
            stop = true;
            load.join();
            double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - asked)
                    .count();
            if (write(pipeFds[1], &ms, sizeof ms) != sizeof ms) _exit(1);
            _exit(0);
        }
        close(pipeFds[1]);
        if (read(pipeFds[0], &stopMs, sizeof stopMs) != sizeof stopMs) stopMs = -1;
        close(pipeFds[0]);
        waitpid(child, &status, 0);
    }
    state.counters["load_s"] = seconds;
    state.counters["cpu_s"] = cpu;
    state.counters["peak_MiB"] = peakMiB;
    state.counters["stop_ms"] = stopMs;
}
BENCHMARK(BM_HostileSet)
    ->DenseRange(0, 8)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
