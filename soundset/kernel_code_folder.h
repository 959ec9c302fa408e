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

// A folder of sounds named by Linux kernel key code, "XX-1" pressed and "XX-0" released (XX two
// hex digits, any sound extension), when most of its sound names take that form; nothing
// otherwise. Sounds decode in parallel; once `stopped` answers true the result is not used.
std::optional<PackTables> kernelCodeFolderAtPath(const std::string& path,
                                                 const platform::FileManager& fileManager,
                                                 platform::SoundLoader& soundLoader,
                                                 const std::function<bool()>& stopped = {},
                                                 std::size_t budgetBytes = kMaxDecodedBytesPerSet);

}  // namespace tapsound
