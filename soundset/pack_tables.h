#pragma once

#include <vector>

#include "soundset/key_code_table.h"

namespace tapsound {

// What a sound pack of another keyboard-sound program plays, by virtual key code.
struct PackTables {
    KeyArray press{};    // by virtual key code, as the key-code table builds them
    KeyArray release{};  // empty slots when the pack has no release sounds
};

// A slot drawing among the sounds with equal chances on every press: nothing without sounds, a
// single-sound slot for one.
SlotRef slotOfVariants(std::vector<SoundRef> sounds);

}  // namespace tapsound
