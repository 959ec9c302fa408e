#include "soundset/pack_tables.h"

namespace tapsound {

SlotRef slotOfVariants(std::vector<SoundRef> sounds) {
    if (sounds.empty()) return nullptr;
    auto slot = std::make_shared<KeySlot>();
    if (sounds.size() > 1) {
        slot->weighted = true;
        slot->lastWeight = 1.0;
        // The cumulative thresholds of equal weights, truncated the way soundset.plist weights are.
        const double share = 2147483647.0 / static_cast<double>(sounds.size());
        std::int32_t threshold = 0;
        for (std::size_t k = 0; k + 1 < sounds.size(); ++k) {
            threshold = static_cast<std::int32_t>(share + threshold);
            slot->thresholds.push_back(threshold);
        }
    }
    slot->sounds = std::move(sounds);
    return slot;
}

}  // namespace tapsound
