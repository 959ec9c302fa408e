// Build the table for a soundset.plist with all 256 keys mapped to 8-element pair lists: from
// values in memory, and from the file on disk in XML and in binary form.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "platform/property_list.h"
#include "soundset/key_code_table.h"
#include "tests/support/sound_files.h"

namespace {

tapsound::SoundsDictionary eightSounds() {
    tapsound::SoundsDictionary sounds;
    for (int i = 0; i < 8; ++i) {
        sounds["s" + std::to_string(i)] = std::make_shared<tapsound::platform::Sound>(
            std::make_shared<tapsound::platform::SampleBuffer>(), nullptr);
    }
    return sounds;
}

std::string fullSoundsetXml() {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>\n";
    for (int code = 0; code < 256; ++code) {
        char key[3];
        std::snprintf(key, sizeof key, "%02x", code);
        xml += std::string("<key>") + key + "</key><array>";
        for (int i = 0; i < 8; ++i) {
            xml += "<array><string>s" + std::to_string(i) + ".wav</string><integer>" +
                   std::to_string(i + code % 3) + "</integer></array>";
        }
        xml += "</array>\n";
    }
    return xml + "</dict></plist>\n";
}

void BM_BuildFullTable(benchmark::State& state) {
    const auto sounds = eightSounds();
    const std::string xml = fullSoundsetXml();
    const auto root = tapsound::platform::propertyListWithBytes(
        reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size());
    if (!root || root->dictionaryValue().size() != 256) {
        state.SkipWithError("the soundset did not read");
        return;
    }
    for (auto _ : state) {
        auto table = tapsound::createKeyCodeArray(&sounds, &root->dictionaryValue());
        benchmark::DoNotOptimize(table);
    }
}
BENCHMARK(BM_BuildFullTable)->Unit(benchmark::kMicrosecond);

// Argument 0 reads the XML file, 1 the binary one.
void BM_ReadFileAndBuildFullTable(benchmark::State& state) {
    const auto sounds = eightSounds();
    tapsound::test::TempDir dir;
    const std::string path = dir.file("soundset.plist");
    const std::string xml = fullSoundsetXml();
    if (!tapsound::test::writeBytes(
            path, state.range(0) == 1 ? tapsound::test::binaryPropertyList(xml) : xml)) {
        state.SkipWithError("cannot write the soundset.plist");
        return;
    }
    for (auto _ : state) {
        const auto soundset = tapsound::platform::dictionaryWithContentsOfFile(path);
        if (!soundset || soundset->size() != 256) {
            state.SkipWithError("the soundset.plist did not read back");
            return;
        }
        auto table = tapsound::createKeyCodeArray(&sounds, &*soundset);
        benchmark::DoNotOptimize(table);
    }
}
BENCHMARK(BM_ReadFileAndBuildFullTable)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
