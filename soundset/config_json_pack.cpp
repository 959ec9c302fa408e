#include <QJsonArray>
#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <map>
#include <set>

#include "platform/sound.h"
#include "platform/virtual_keys.h"
#include "soundset/pack_files.h"
#include "soundset/pack_tables.h"

namespace tapsound {

namespace {

using platform::SoundSlice;

// "{a-b}" in a file name stands for the files numbered a to b, zero-padded when a is.
struct Variants {
    bool pattern = false;
    std::string before, after;
    unsigned from = 0, to = 0;
    std::size_t width = 0;
    std::size_t count() const { return std::size_t{to} - from + 1; }
    // The variant numbered n, built only when asked for.
    std::string name(unsigned n) const {
        std::string number = std::to_string(n);
        if (number.size() < width) number.insert(0, width - number.size(), '0');
        return before + number + after;
    }
};

// Nothing for a pattern naming more files than a pack may hold, so a hostile one builds nothing.
std::optional<Variants> variantsOf(const std::string& name) {
    const auto open = name.find('{');
    const auto close = name.find('}', open);
    const auto dash = name.find('-', open);
    if (open == std::string::npos || close == std::string::npos || dash > close) return Variants{};
    const std::string first = name.substr(open + 1, dash - open - 1);
    const std::string last = name.substr(dash + 1, close - dash - 1);
    const auto digits = [](const std::string& s) {
        return !s.empty() && s.size() <= 9 &&
               std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
    };
    if (!digits(first) || !digits(last)) return Variants{};
    Variants variants{true,
                      name.substr(0, open),
                      name.substr(close + 1),
                      static_cast<unsigned>(std::stoul(first)),
                      static_cast<unsigned>(std::stoul(last)),
                      first.size() > 1 && first.front() == '0' ? first.size() : 0};
    if (variants.from > variants.to) std::swap(variants.from, variants.to);
    if (variants.count() > kMaxPackFiles) return std::nullopt;
    variants.to = std::min(variants.to, variants.from + static_cast<unsigned>(kMaxVariants) - 1);
    return variants;
}

// config.json's "defines" by virtual key code, press and release. Several codes can name one key
// (an arrow and its keypad alias): the lowest kernel code, then the lowest pack code, wins.
struct Defines {
    std::array<std::optional<QJsonValue>, kKeyCodeCount> press, release;
};

Defines definesOf(const QJsonObject& defines, bool nullIsDefined) {
    std::map<std::tuple<bool, unsigned, unsigned>, QJsonValue> ordered;
    for (auto it = defines.begin(); it != defines.end(); ++it) {
        if (it.value().isNull() && !nullIsDefined) continue;
        QString key = it.key().trimmed();
        const bool up = key.endsWith(QLatin1String("-up"), Qt::CaseInsensitive);
        if (up) key.chop(3);
        bool ok = false;
        const unsigned code = key.toUInt(&ok, 10);
        const auto kernel = ok ? platform::kernelKeyForScancode(code) : std::nullopt;
        if (kernel) ordered.emplace(std::tuple(up, *kernel, code), it.value());
    }
    Defines result;
    for (const auto& [key, value] : ordered) {
        const auto& [up, kernel, code] = key;
        const auto virtualCode = platform::virtualKeyCodeForKernelKey(kernel);
        if (!virtualCode || *virtualCode >= kKeyCodeCount) continue;
        auto& slot = (up ? result.release : result.press)[*virtualCode];
        if (!slot) slot = value;
    }
    return result;
}

// Each sound file once; keys naming the same file or variants share their slot.
PackTables multiPack(PackFiles& files, const QJsonObject& config, const Defines& defines,
                     bool fallbacks, platform::SoundLoader& loader,
                     const std::function<bool()>& stopped, std::size_t budgetBytes) {
    std::vector<std::string> located;
    std::map<std::string, std::size_t> fileIndex;
    std::map<std::string, std::vector<std::size_t>> filesOfName;
    // Names looked up in all, so a config.json of many patterns cannot keep the loader busy.
    std::size_t lookups = 0;
    platform::LoadBudget budget(budgetBytes, stopped);
    const auto want = [&](const std::string& name) {
        if (name.empty() || filesOfName.count(name) || budget.stopped()) return;
        auto& chosen = filesOfName[name];
        const auto add = [&](std::optional<std::string> file) {
            if (!file) return;
            auto [it, added] = fileIndex.emplace(*file, located.size());
            if (added) {
                if (located.size() >= kMaxPackFiles) {
                    fileIndex.erase(it);
                    return;
                }
                located.push_back(*file);
            }
            chosen.push_back(it->second);
        };
        // A name that is a file as written is not a pattern.
        const auto literal = relativeParts(name);
        auto whole = literal && lookups++ < kMaxLookups ? files.locate(*literal) : std::nullopt;
        const auto variants = whole ? std::nullopt : variantsOf(name);
        if (whole || !variants || !variants->pattern) return add(std::move(whole));
        for (unsigned n = variants->from; n <= variants->to && lookups < kMaxLookups; ++n) {
            if (budget.stopped()) return;
            const auto parts = relativeParts(variants->name(n));
            ++lookups;
            if (parts) add(files.locate(*parts));
        }
    };
    const std::string pressFallback = fallbacks ? textOf(config.value("sound")) : "";
    const std::string releaseFallback = fallbacks ? textOf(config.value("soundup")) : "";
    want(pressFallback);
    want(releaseFallback);
    for (const auto* table : {&defines.press, &defines.release}) {
        for (const auto& value : *table) {
            if (value) want(textOf(*value));
        }
    }

    std::vector<SoundRef> sounds(located.size());
    forEachInParallel(
        located.size(), [&](std::size_t i) { sounds[i] = files.sound(located[i], loader, budget); },
        [&] { return budget.stopped(); });

    std::map<std::string, SlotRef> slotByName;
    const auto slotOf = [&](const std::string& name) -> SlotRef {
        const auto chosen = filesOfName.find(name);
        if (chosen == filesOfName.end()) return nullptr;
        auto [it, added] = slotByName.emplace(name, nullptr);
        if (added) {
            std::vector<SoundRef> variants;
            for (const std::size_t i : chosen->second) {
                if (sounds[i]) variants.push_back(sounds[i]);
            }
            it->second = slotOfVariants(std::move(variants));
        }
        return it->second;
    };
    PackTables tables;
    tables.press.fill(slotOf(pressFallback));
    tables.release.fill(slotOf(releaseFallback));
    for (std::size_t code = 0; code < kKeyCodeCount; ++code) {
        if (defines.press[code]) tables.press[code] = slotOf(textOf(*defines.press[code]));
        if (defines.release[code]) tables.release[code] = slotOf(textOf(*defines.release[code]));
    }
    return tables;
}

// One long sound cut into slices: each distinct slice decoded once, in one pass reading the
// sprite forward, which is faster than runs on several cores each decoding from the start.
PackTables spritePack(PackFiles& files, const QJsonObject& config, const Defines& defines,
                      platform::SoundLoader& loader, const std::function<bool()>& stopped,
                      std::size_t budgetBytes) {
    PackTables tables;
    const auto parts = relativeParts(textOf(config.value("sound")));
    const auto sprite = parts ? files.locate(*parts) : std::nullopt;
    if (!sprite) return tables;

    const auto sliceOf = [](const QJsonValue& value) -> std::optional<SoundSlice> {
        const QJsonArray pair = value.toArray();
        if (pair.size() < 2) return std::nullopt;
        const auto start = numberOf(pair[0]), duration = numberOf(pair[1]);
        // Only finite numbers: NaN would not order among the slices.
        if (!start || !duration || !std::isfinite(*start) || !std::isfinite(*duration)) {
            return std::nullopt;
        }
        return SoundSlice{*start, *duration};
    };
    std::set<SoundSlice> wanted;
    for (const auto* table : {&defines.press, &defines.release}) {
        for (const auto& value : *table) {
            if (const auto slice = value ? sliceOf(*value) : std::nullopt) wanted.insert(*slice);
        }
    }
    const std::vector<SoundSlice> distinct(wanted.begin(), wanted.end());
    platform::LoadBudget budget(budgetBytes, stopped);
    const auto sounds = files.slices(*sprite, loader, distinct, budget);
    std::map<SoundSlice, SlotRef> slotBySlice;
    for (std::size_t i = 0; i < distinct.size() && i < sounds.size(); ++i) {
        if (sounds[i]) slotBySlice[distinct[i]] = slotOfVariants({sounds[i]});
    }
    for (std::size_t code = 0; code < kKeyCodeCount; ++code) {
        for (auto [value, slot] : {std::pair{&defines.press[code], &tables.press[code]},
                                   std::pair{&defines.release[code], &tables.release[code]}}) {
            const auto slice = *value ? sliceOf(**value) : std::nullopt;
            if (slice && slotBySlice.count(*slice)) *slot = slotBySlice[*slice];
        }
    }
    return tables;
}

}  // namespace

std::optional<PackTables> configJsonPackAtPath(const std::string& path,
                                               const platform::FileManager& fileManager,
                                               platform::SoundLoader& soundLoader,
                                               const std::function<bool()>& stopped,
                                               std::size_t budgetBytes) {
    // Reading and parsing config.json may take a while on a busy machine: a stop between the
    // stages ends the load.
    const auto halted = [&] { return stopped && stopped(); };
    const auto files = packFiles(path, fileManager);
    const auto text = files && !halted() ? files->config() : std::nullopt;
    const auto config = text && !halted() ? parsedConfig(*text) : std::nullopt;
    if (halted()) return std::nullopt;
    if (!config || !config->value("defines").isObject()) return std::nullopt;
    const QJsonObject defines = config->value("defines").toObject();

    const bool version2 = numberOf(config->value("version")).value_or(1) >= 2;
    const QString type = config->value("key_define_type").toString().trimmed().toLower();
    bool single = type == QLatin1String("single");
    if (type.isEmpty()) {
        single =
            std::any_of(defines.begin(), defines.end(), [](const auto& v) { return v.isArray(); });
    }
    // Version 2 falls back to "sound" for a key defined as null; version 1 leaves it silent.
    const Defines byKey = definesOf(defines, !version2 || single);
    if (single) return spritePack(*files, *config, byKey, soundLoader, stopped, budgetBytes);
    return multiPack(*files, *config, byKey, version2, soundLoader, stopped, budgetBytes);
}

}  // namespace tapsound
