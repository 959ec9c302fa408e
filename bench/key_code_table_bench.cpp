// Build the table for a soundset.plist with all 256 keys mapped to 8-element pair lists.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "soundset/key_code_table.h"

namespace {

using tapsound::platform::PlistArray;
using tapsound::platform::PlistDictionary;
using tapsound::platform::PlistValue;

void BM_BuildFullTable(benchmark::State& state) {
    tapsound::SoundsDictionary sounds;
    for (int i = 0; i < 8; ++i) {
        sounds["s" + std::to_string(i)] = std::make_shared<tapsound::platform::Sound>(
            std::make_shared<tapsound::platform::SampleBuffer>(), nullptr);
    }
    PlistDictionary soundset;
    for (int code = 0; code < 256; ++code) {
        PlistArray pairs;
        for (int i = 0; i < 8; ++i) {
            pairs.push_back(PlistValue::array({PlistValue::string("s" + std::to_string(i) + ".wav"),
                                               PlistValue::integer(i + code % 3)}));
        }
        char key[3];
        std::snprintf(key, sizeof key, "%02x", code);
        soundset.emplace(key, PlistValue::array(std::move(pairs)));
    }
    for (auto _ : state) {
        auto table = tapsound::createKeyCodeArray(&sounds, &soundset);
        benchmark::DoNotOptimize(table);
    }
}
BENCHMARK(BM_BuildFullTable)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
