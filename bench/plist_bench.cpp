// Reading soundset.plist files built to cost as much as they can within the caps (16 MB binary,
// 2 MB XML): nested deep, shared, wide, with long strings, and the largest that is still kept
// whole. Each maps "24" first to the costly value and "*" after it to click. Besides the time per read, extra_MiB is
// how far one read raises the resident set above where it started.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/property_list.h"
#include "tests/support/sound_files.h"

namespace {

constexpr std::size_t kCap = 16u << 20, kXmlCap = 2u << 20;

// A binary property list: a leaf is its bytes, a list (0xa0) or dictionary (0xd0, keys then
// values) refers to other objects by index. Object 0 is the root.
struct Object {
    std::uint8_t type = 0;
    std::string leaf;
    std::vector<std::uint64_t> refs;
};

std::string ascii(const std::string& text) {
    std::string marker(1, static_cast<char>(0x50 | std::min<std::size_t>(text.size(), 15)));
    if (text.size() >= 15) {
        marker += '\x13';
        for (int i = 7; i >= 0; --i) marker += static_cast<char>(text.size() >> (8 * i));
    }
    return marker + text;
}

std::string binaryList(const std::vector<Object>& objects) {
    const auto sizeFor = [](std::uint64_t most) {
        return most <= 0xff ? 1 : most <= 0xffff ? 2 : most <= 0xffffff ? 3 : 4;
    };
    std::string out = "bplist00";
    const auto put = [&out](std::uint64_t value, int size) {
        for (int i = size - 1; i >= 0; --i) out += static_cast<char>(value >> (8 * i));
    };
    const int refSize = sizeFor(objects.size());
    std::vector<std::uint64_t> offsets;
    for (const Object& object : objects) {
        offsets.push_back(out.size());
        if (!object.type) {
            out += object.leaf;
            continue;
        }
        const std::uint64_t count = object.refs.size() / (object.type == 0xd0 ? 2 : 1);
        out += static_cast<char>(object.type | std::min<std::uint64_t>(count, 15));
        if (count >= 15) {
            out += '\x13';
            put(count, 8);
        }
        for (const std::uint64_t ref : object.refs) put(ref, refSize);
    }
    const std::uint64_t table = out.size();
    const int offsetSize = sizeFor(table);
    for (const std::uint64_t offset : offsets) put(offset, offsetSize);
    out.append(6, '\0');
    out += static_cast<char>(offsetSize);
    out += static_cast<char>(refSize);
    put(objects.size(), 8);
    put(0, 8);
    put(table, 8);
    return out;
}

// The root {"24": object 4, "*": "click"}, followed by objects from index 4 on.
std::string soundset(std::vector<Object> value) {
    std::vector<Object> objects = {{0xd0, {}, {1, 2, 4, 3}},
                                   {0, ascii("24"), {}},
                                   {0, ascii("*"), {}},
                                   {0, ascii("click"), {}}};
    objects.insert(objects.end(), std::make_move_iterator(value.begin()),
                   std::make_move_iterator(value.end()));
    return binaryList(objects);
}

std::string xmlSoundset(const std::string& value) {
    return "<plist><dict><key>24</key>" + value +
           "<key>*</key><string>click</string></dict></plist>";
}

std::string repeated(const std::string& text, std::size_t times) {
    std::string out;
    out.reserve(text.size() * times);
    for (std::size_t i = 0; i < times; ++i) out += text;
    return out;
}

// Lists that each refer to the next `times` times, the last to "click": 10^30 values for 30.
std::string sharedBinary() {
    std::vector<Object> lists;
    for (std::uint64_t i = 0; i < 30; ++i) {
        lists.push_back({0xa0, {}, std::vector<std::uint64_t>(10, i < 29 ? 5 + i : 3)});
    }
    return soundset(std::move(lists));
}

// A list in a list, as many times as the reader takes objects (2^21).
std::string deepBinary() {
    std::vector<Object> chain;
    for (std::uint64_t i = 0; i + 4 < (1u << 21); ++i) chain.push_back({0xa0, {}, {5 + i}});
    chain.back().refs = {3};
    return soundset(std::move(chain));
}

std::string wideBinary() {
    return soundset({{0xa0, {}, std::vector<std::uint64_t>(kCap - 128, 3)}});
}

// 240 entries, each a list of 32,800 references to a two-unit list: checking each takes as long
// as a list can before it proves too large.
std::string manyWideBinary() {
    std::vector<Object> objects = {
        {0xd0, {}, {}}, {0, ascii("*"), {}}, {0, ascii("click"), {}}, {0xa0, {}, {2}}};
    for (std::uint64_t i = 0; i < 240; ++i) {
        objects.push_back({0, ascii("k" + std::to_string(i)), {}});
        objects.push_back({0xa0, {}, std::vector<std::uint64_t>(32800, 3)});
        objects[0].refs.push_back(objects.size() - 2);
    }
    objects[0].refs.push_back(1);
    for (std::uint64_t i = 0; i < 240; ++i) objects[0].refs.push_back(5 + 2 * i);
    objects[0].refs.push_back(2);
    return binaryList(objects);
}

// As many objects as the reader takes, all but five sharing one offset, and "24" a list that
// refers to each in turn: the most memory the check itself and the rebuilt copy can take.
std::string manyObjectsBinary() {
    constexpr std::uint64_t kObjects = 2097000, kRefs = (kCap - 4 * kObjects) / 3;
    std::string out = "bplist00";
    const auto put = [&out](std::uint64_t value, int size) {
        for (int i = size - 1; i >= 0; --i) out += static_cast<char>(value >> (8 * i));
    };
    out += ascii("24") + ascii("*") + ascii("click") + std::string("\x10\x01", 2);
    out += '\xd2';
    for (const std::uint64_t ref : {1, 2, 4, 3}) put(ref, 3);
    out += "\xaf\x13";
    put(kRefs, 8);
    for (std::uint64_t i = 0; i < kRefs; ++i) put(5 + i % (kObjects - 5), 3);
    const std::uint64_t table = out.size();
    for (const std::uint64_t offset : {21, 8, 11, 13, 34}) put(offset, 1);
    out.append(kObjects - 5, '\x13');  // the integer's offset
    out.append(6, '\0');
    out += "\x01\x03";
    put(kObjects, 8);
    put(0, 8);
    put(table, 8);
    return out;
}

// Entries that each hold two lists, every list a new index for the bytes of one long list:
// checked index by index, that list would be read 12,000 times. The reader refuses it.
std::string aliasedBinary() {
    constexpr std::uint64_t kEntries = 6000, kLong = 26000, kAliases = 5 + kEntries;
    std::string out = "bplist00";
    std::vector<std::uint64_t> offsets(kAliases + 2 * kEntries);
    const auto put = [&out](std::uint64_t value, int size) {
        for (int i = size - 1; i >= 0; --i) out += static_cast<char>(value >> (8 * i));
    };
    const auto object = [&](std::uint64_t index, const std::string& header) {
        offsets[index] = out.size();
        out += header;
    };
    object(1, ascii("*"));
    object(2, ascii("click"));
    object(3, "\xa1");
    put(2, 3);
    object(4, "\xaf\x13");
    put(kLong, 8);
    for (std::uint64_t i = 0; i < kLong; ++i) put(3, 3);
    for (std::uint64_t e = 0; e < kEntries; ++e) {
        object(5 + e, "\xa2");
        put(kAliases + 2 * e, 3);
        put(kAliases + 2 * e + 1, 3);
    }
    for (std::uint64_t a = kAliases; a < offsets.size(); ++a) offsets[a] = offsets[4];
    object(0, "\xdf\x13");
    put(kEntries + 1, 8);
    for (std::uint64_t e = 0; e <= kEntries; ++e) put(1, 3);
    for (std::uint64_t e = 0; e < kEntries; ++e) put(5 + e, 3);
    put(2, 3);
    const std::uint64_t table = out.size();
    for (const std::uint64_t offset : offsets) put(offset, 4);
    out.append(6, '\0');
    out += "\x04\x03";
    put(offsets.size(), 8);
    put(0, 8);
    put(table, 8);
    return out;
}

std::string longStringBinary() { return soundset({{0, ascii(std::string(kCap - 128, 'x')), {}}}); }

std::string sharedLongStringBinary() {
    return soundset({{0xa0, {}, std::vector<std::uint64_t>(1000, 5)},
                     {0, ascii(std::string(kCap - 4096, 'x')), {}}});
}

// The heaviest value still kept: 31 nested lists, the last with as many values as the budget
// allows, each 32 levels below the root.
std::string fullBinary() {
    std::vector<Object> chain;
    for (std::uint64_t i = 0; i < 30; ++i) chain.push_back({0xa0, {}, {5 + i}});
    chain.push_back({0xa0, {}, std::vector<std::uint64_t>(65400, 35)});
    chain.push_back({0, std::string("\x10\x01", 2), {}});
    return soundset(std::move(chain));
}

std::string deepXml() {
    const std::size_t levels = (kXmlCap - 128) / 15;
    return xmlSoundset(repeated("<array>", levels) + repeated("</array>", levels));
}

std::string wideXml() {
    return xmlSoundset("<array>" + repeated("<true/>", (kXmlCap - 128) / 7) + "</array>");
}

std::string longStringXml() {
    return xmlSoundset("<string>" + std::string(kXmlCap - 128, 'x') + "</string>");
}

std::string fullXml() {
    return xmlSoundset(repeated("<array>", 31) + repeated("<true/>", 65400) +
                       repeated("</array>", 31));
}

long statusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
    }
    return 0;
}

// How far one read raises the resident set's high-water mark, reset just before it.
double extraMiB(const std::string& path) {
    malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = statusKiB("VmRSS:");
    benchmark::DoNotOptimize(tapsound::platform::dictionaryWithContentsOfFile(path));
    return static_cast<double>(statusKiB("VmHWM:") - before) / 1024.0;
}

// `kept`: whether the "*" default survives; a file that cannot be checked is refused whole.
void BM_ReadCostlySoundset(benchmark::State& state, std::string (*make)(), bool kept) {
    tapsound::test::TempDir dir;
    const std::string path = dir.file("soundset.plist");
    if (!tapsound::test::writeBytes(path, make())) {
        state.SkipWithError("cannot write the soundset.plist");
        return;
    }
    const double extra = extraMiB(path);
    for (auto _ : state) {
        auto soundset = tapsound::platform::dictionaryWithContentsOfFile(path);
        if (kept != (soundset && soundset->count("*"))) {
            state.SkipWithError(kept ? "the default did not survive" : "the file was not refused");
            return;
        }
        benchmark::DoNotOptimize(soundset);
    }
    state.counters["extra_MiB"] = extra;
}

const struct {
    const char* name;
    std::string (*make)();
    bool kept;
} kCases[] = {
    {"binary/shared", sharedBinary, true},
    {"binary/deep", deepBinary, true},
    {"binary/wide", wideBinary, true},
    {"binary/many_wide", manyWideBinary, true},
    {"binary/many_objects", manyObjectsBinary, true},
    {"binary/aliased", aliasedBinary, false},
    {"binary/long_string", longStringBinary, true},
    {"binary/shared_long_string", sharedLongStringBinary, true},
    {"binary/full_kept", fullBinary, true},
    {"xml/deep", deepXml, true},
    {"xml/wide", wideXml, true},
    {"xml/long_string", longStringXml, true},
    {"xml/full_kept", fullXml, true},
};

const bool kRegistered = [] {
    for (const auto& c : kCases) {
        benchmark::RegisterBenchmark((std::string("BM_ReadCostlySoundset/") + c.name).c_str(),
                                     BM_ReadCostlySoundset, c.make, c.kept)
            ->Unit(benchmark::kMillisecond);
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
