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

// The button of a kernel button code (BTN_LEFT...); nothing for the wheel and keys.
std::optional<MouseButton> mouseButtonForKernelCode(unsigned code);

// A slot drawing among the sounds with equal chances on every press: nothing without sounds, a
// single-sound slot for one.
SlotRef slotOfVariants(std::vector<SoundRef> sounds);

// Another program's pack at a location, read by the first reader that knows its form: each tells
// its format by its own fields. Nothing when none does.
std::optional<PackTables> packAtPath(const std::string& path,
                                     const platform::FileManager& fileManager,
                                     platform::SoundLoader& soundLoader,
                                     const std::function<bool()>& stopped = {});

// Whether the location holds a mouse pack, told from its description alone: nothing is decoded.
bool isMousePackAtPath(const std::string& path, const platform::FileManager& fileManager);

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

// A MechvibesDX pack: config.json with "definitions" keyed by KeyboardEvent.code names, each timed
// as [start, end] in milliseconds (press, then release) in one sound ("single") or its own
// ("multi"); "soundpack_type": "Mouse" marks a mouse pack.
std::optional<PackTables> mechvibesDxPackAtPath(const std::string& path,
                                                const platform::FileManager& fileManager,
                                                platform::SoundLoader& soundLoader,
                                                const std::function<bool()>& stopped = {},
                                                std::size_t budgetBytes = kMaxDecodedBytesPerSet);

// A keyboardsounds profile: profile.yaml naming sources by id, keys (or, for "device: mouse",
// buttons) by the ids they play, and a default.
std::optional<PackTables> keyboardsoundsProfileAtPath(
    const std::string& path, const platform::FileManager& fileManager,
    platform::SoundLoader& soundLoader, const std::function<bool()>& stopped = {},
    std::size_t budgetBytes = kMaxDecodedBytesPerSet);

// A Thock pack: config.json with "metadata" and "sounds" {key: {down: [files], up: [files]}}, one
// file drawn per press; "left" and "right" name mouse buttons.
std::optional<PackTables> thockPackAtPath(const std::string& path,
                                          const platform::FileManager& fileManager,
                                          platform::SoundLoader& soundLoader,
                                          const std::function<bool()>& stopped = {},
                                          std::size_t budgetBytes = kMaxDecodedBytesPerSet);

// A KeyEcho pack: config.json "defines" and "releases" by key name as [start, duration] in
// milliseconds of one sound, or with "schemaVersion": 2, slices by frame of its "audio".
std::optional<PackTables> keyEchoPackAtPath(const std::string& path,
                                            const platform::FileManager& fileManager,
                                            platform::SoundLoader& soundLoader,
                                            const std::function<bool()>& stopped = {},
                                            std::size_t budgetBytes = kMaxDecodedBytesPerSet);

}  // namespace tapsound
