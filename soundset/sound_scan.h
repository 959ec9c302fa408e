#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "soundset/key_code_table.h"

namespace tapsound {

namespace platform {
class FileManager;
class SoundLoader;
}  // namespace platform

// Decoded audio one sound set may hold: past it further sounds are skipped, so a folder of long
// files cannot take gigabytes. 512 MB is about 45 minutes of the mixer's 48 kHz stereo float.
inline constexpr std::size_t kMaxDecodedBytesPerSet = std::size_t{512} << 20;

// A folder set reads no more entries of its listing than this, hidden ones included.
inline constexpr std::size_t kMaxFolderEntries = std::size_t{1} << 16;

// Runs `work` once for every index below `count`, on up to kMaxDecodingThreads cores; indices
// not yet started are skipped once `stopped` answers true.
void forEachInParallel(std::size_t count, const std::function<void(std::size_t)>& work,
                       const std::function<bool()>& stopped = {});
// Each decoding thread holds a working margin beside the set's budget, so their number is bounded
// whatever the machine.
inline constexpr unsigned kMaxDecodingThreads = 4;

// Loads every sound file directly inside a folder, keyed by its name without the last extension.
// Names starting with a dot are skipped; a later entry of the listing replaces an earlier one of
// the same name; a folder that cannot be listed gives an empty dictionary. Names of one file share
// its sound. The files decode in parallel; once `stopped` answers true the scan, listing included,
// ends within a chunk of a file and gives an empty dictionary.
// The loader must allow calls from several threads at once.
SoundsDictionary soundsDictionaryWithDirectryPath(const platform::FileManager& fileManager,
                                                  platform::SoundLoader& soundLoader,
                                                  const std::string& path,
                                                  const std::function<bool()>& stopped = {},
                                                  std::size_t budgetBytes = kMaxDecodedBytesPerSet);

}  // namespace tapsound
