#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/property_list.h"
#include "platform/sound.h"

namespace tapsound {

using SoundRef = std::shared_ptr<const platform::Sound>;
// Sound name to loaded sound, the result of a sound scan.
using SoundsDictionary = std::map<std::string, SoundRef, std::less<>>;

// One slot of the key-code table: a single sound, or weighted sounds with cumulative thresholds.
struct KeySlot {
    bool weighted = false;
    std::vector<SoundRef> sounds;  // exactly one for a single-sound slot; at least one when weighted
    // Weighted only: thresholds[0..n-2] are cumulative on the scale 0..2147483647; the last entry is
    // the last sound's own weight, which playback never reads.
    std::vector<std::int32_t> thresholds;
    double lastWeight = 0.0;
};
using SlotRef = std::shared_ptr<const KeySlot>;

inline constexpr std::size_t kKeyCodeCount = 256;
using KeyArray = std::array<SlotRef, kKeyCodeCount>;

// Whether any key has a sound.
inline bool anySlotFilled(const KeyArray& keys) {
    for (const SlotRef& slot : keys) {
        if (slot) return true;
    }
    return false;
}

// Builds all 256 slots from the scanned sounds and the soundset dictionary (either may be null).
KeyArray createKeyCodeArray(const SoundsDictionary* soundsDict,
                            const platform::PlistDictionary* soundsetDict);

}  // namespace tapsound
