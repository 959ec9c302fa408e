#pragma once

#include <string>

#include "soundset/key_code_table.h"

namespace tapsound {

namespace platform {
class FileManager;
class SoundLoader;
}  // namespace platform

// Loads every sound file directly inside a folder, keyed by its name without the last extension.
// Names starting with a dot are skipped; a later entry of the listing replaces an earlier one of
// the same name; a folder that cannot be listed gives an empty dictionary.
SoundsDictionary soundsDictionaryWithDirectryPath(const platform::FileManager& fileManager,
                                                  platform::SoundLoader& soundLoader,
                                                  const std::string& path);

}  // namespace tapsound
