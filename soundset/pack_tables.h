#pragma once

#include <optional>

#include "soundset/sound_scan.h"

namespace tapsound {

// Mouse buttons by index: X11 buttons 1-3 and 8-9 and the kernel's BTN_LEFT.. map onto these.
enum class MouseButton : std::size_t { Left, Right, Middle, Back, Forward, Side, Extra, Task };
inline constexpr std::size_t kMouseButtonCount = 8;
using ButtonArray = std::array<SlotRef, kMouseButtonCount>;

// What a sound pack of another keyboard-sound program plays, by virtual key code and by button.
struct PackTables {
    KeyArray press{};    // by virtual key code, as the key-code table builds them
    KeyArray release{};  // empty slots when the pack has no release sounds
    ButtonArray buttonPress{};  // mouse packs, and keyboard packs that define buttons
    ButtonArray buttonRelease{};
    // A mouse pack: opened as the mouse sounds, leaving the keyboard set as it is.
    bool mouse = false;
    float volume = 1.0f;  // the pack's recommended volume, scaling its own sounds
};

// A slot drawing among the sounds with equal chances on every press: nothing without sounds, a
// single-sound slot for one.
SlotRef slotOfVariants(std::vector<SoundRef> sounds);

// The readers, one per format. Each gives nothing when the location is not of its form, so the
// loader tries the next; sounds decode in parallel, as in a sound scan, and once `stopped`
// answers true the result is not used.

// A config.json sound pack, the format of the most used keyboard-sound program: a folder holding
// config.json, that file itself, or a zip archive holding it at its root or in its one top folder.
// Nothing also when its config.json cannot be read as JSON; empty tables when it is a pack but
// nothing in it plays.
std::optional<PackTables> configJsonPackAtPath(const std::string& path,
                                               const platform::FileManager& fileManager,
                                               platform::SoundLoader& soundLoader,
                                               const std::function<bool()>& stopped = {},
                                               std::size_t budgetBytes = kMaxDecodedBytesPerSet);

// A folder of sounds named by Linux kernel key code, "XX-1" pressed and "XX-0" released (XX two
// hex digits, any sound extension), when most of its sound names take that form.
std::optional<PackTables> kernelCodeFolderAtPath(const std::string& path,
                                                 const platform::FileManager& fileManager,
                                                 platform::SoundLoader& soundLoader,
                                                 const std::function<bool()>& stopped = {},
                                                 std::size_t budgetBytes = kMaxDecodedBytesPerSet);

}  // namespace tapsound
