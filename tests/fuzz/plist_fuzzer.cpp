// Arbitrary bytes through the property-list reader into the key-code table builder.
#include <cstddef>
#include <cstdint>

#include "platform/property_list.h"
#include "soundset/key_code_table.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const tapsound::SoundsDictionary sounds = [] {
        tapsound::SoundsDictionary result;
        for (const char* name : {"click", "a", "b", "key.1", "*"}) {
            result[name] = std::make_shared<tapsound::platform::Sound>(
                std::make_shared<tapsound::platform::SampleBuffer>(), nullptr);
        }
        return result;
    }();
    const auto root = tapsound::platform::propertyListWithBytes(data, size);
    if (root && root->isDictionary()) {
        const auto table = tapsound::createKeyCodeArray(&sounds, &root->dictionaryValue());
        for (const auto& slot : table) {
            if (slot && slot->weighted && (slot->sounds.empty() ||
                                           slot->thresholds.size() + 1 != slot->sounds.size())) {
                __builtin_trap();
            }
        }
    }
    return 0;
}
