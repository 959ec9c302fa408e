#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "soundset/pack_tables.h"
#include "soundset/sound_scan.h"

namespace tapsound {

namespace platform {
class FileManager;
class SoundLoader;
}  // namespace platform

// A config.json sound pack, the format of the most used keyboard-sound program: a folder holding
// config.json, that file itself, or a zip archive holding it at its root or in its one top folder.
// Nothing when the location is not such a pack or its config.json cannot be read as JSON (so the
// loader tries the next form); empty tables when it is one but nothing in it plays. Sounds decode
// in parallel, as in a sound scan; once `stopped` answers true the result is not used.
std::optional<PackTables> configJsonPackAtPath(const std::string& path,
                                               const platform::FileManager& fileManager,
                                               platform::SoundLoader& soundLoader,
                                               const std::function<bool()>& stopped = {},
                                               std::size_t budgetBytes = kMaxDecodedBytesPerSet);

}  // namespace tapsound
