#include "soundset/key_code_table.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace tapsound {

namespace {

using platform::PlistDictionary;
using platform::PlistValue;

constexpr double kScale = 2147483647.0;
// Weights beyond this are clamped so sums stay finite where they can.
constexpr double kMaxWeight = 1e300;

// The name without its last extension, as a file name would lose it: "click.wav" is "click",
// "key.1" is "key", ".hidden" stays.
std::string deletingPathExtension(const std::string& name) {
    const auto slash = name.rfind('/');
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || dot <= base) return name;
    return name.substr(0, dot);
}

SoundRef resolve(const SoundsDictionary& sounds, const std::string& name) {
    const auto found = sounds.find(deletingPathExtension(name));
    return found == sounds.end() ? nullptr : found->second;
}

std::int32_t truncateToInt32(double value, std::int32_t fallback) {
    if (std::isnan(value)) return fallback;
    if (value >= kScale) return std::numeric_limits<std::int32_t>::max();
    if (value <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

// The weighted slot of a name list or a pair list. Elements of another shape are skipped, and a
// list in which no name resolves gives no slot at all, since playback needs at least one sound.
SlotRef weightedSlot(const SoundsDictionary& sounds, const platform::PlistArray& list) {
    if (list.empty()) return nullptr;
    const bool nameList = list.front().isString();
    std::vector<SoundRef> chosen;
    std::vector<double> weights;
    for (const PlistValue& element : list) {
        std::string name;
        double weight = 1.0;
        if (nameList) {
            if (!element.isString()) continue;
            name = element.stringValue();
        } else {
            if (!element.isArray() || element.arrayValue().empty()) continue;
            const auto& pair = element.arrayValue();
            if (!pair[0].isString()) continue;
            name = pair[0].stringValue();
            if (pair.size() >= 2) {
                const auto reading = pair[1].doubleValue();
                if (!reading) continue;
                weight = *reading;
            }
        }
        SoundRef sound = resolve(sounds, name);
        if (!sound) continue;
        if (std::isnan(weight)) weight = 0.0;
        weight = std::fmin(weight, kMaxWeight);
        chosen.push_back(std::move(sound));
        weights.push_back(weight);
    }
    if (chosen.empty()) return nullptr;

    double total = 0.0;
    for (double& w : weights) {
        if (w < 0) w = 1.0;
        total += w;
    }
    auto slot = std::make_shared<KeySlot>();
    slot->weighted = true;
    slot->lastWeight = weights.back();
    const std::size_t n = weights.size();
    std::int32_t a = 0;
    for (std::size_t k = 0; k + 1 < n; ++k) {
        // Each threshold builds on the previous one after truncation.
        if (total > 0) a = truncateToInt32(weights[k] * kScale / total + a, a);
        slot->thresholds.push_back(a);
    }
    slot->sounds = std::move(chosen);
    return slot;
}

SlotRef slotValue(const SoundsDictionary& sounds, const PlistValue& value) {
    if (value.isString()) {
        SoundRef sound = resolve(sounds, value.stringValue());
        if (!sound) return nullptr;
        auto slot = std::make_shared<KeySlot>();
        slot->sounds.push_back(std::move(sound));
        return slot;
    }
    if (value.isArray()) return weightedSlot(sounds, value.arrayValue());
    return nullptr;
}

}  // namespace

KeyArray createKeyCodeArray(const SoundsDictionary* soundsDict,
                            const platform::PlistDictionary* soundsetDict) {
    static const SoundsDictionary kNoSounds;
    static const PlistDictionary kNoEntries;
    const SoundsDictionary& sounds = soundsDict ? *soundsDict : kNoSounds;
    const PlistDictionary& soundset = soundsetDict ? *soundsetDict : kNoEntries;

    KeyArray table{};
    const auto fallback = soundset.find("*");
    const SlotRef shared = fallback == soundset.end() ? nullptr : slotValue(sounds, fallback->second);
    table.fill(shared);

    for (unsigned code = 0; code < kKeyCodeCount; ++code) {
        char lower[3], upper[3], decimal[4];
        std::snprintf(lower, sizeof lower, "%02x", code);
        std::snprintf(upper, sizeof upper, "%02X", code);
        std::snprintf(decimal, sizeof decimal, "%03u", code);
        for (const char* key : {lower, upper, decimal}) {
            const auto entry = soundset.find(std::string_view(key));
            if (entry == soundset.end()) continue;
            // An entry that yields nothing silences its key, default or not.
            table[code] = slotValue(sounds, entry->second);
            break;
        }
    }
    return table;
}

}  // namespace tapsound
