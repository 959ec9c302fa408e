#include "soundset/sound_scan.h"

#include "platform/file_manager.h"

namespace tapsound {

namespace {

std::string deletingLastExtension(const std::string& name) {
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return name;
    return name.substr(0, dot);
}

}  // namespace

SoundsDictionary soundsDictionaryWithDirectryPath(const platform::FileManager& fileManager,
                                                  platform::SoundLoader& soundLoader,
                                                  const std::string& path) {
    SoundsDictionary sounds;
    const auto names = fileManager.contentsOfDirectoryAtPath(path);
    if (!names) return sounds;
    std::string folder = path;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    for (const std::string& name : *names) {
        if (name.empty() || name.front() == '.') continue;
        const std::string full = (folder == "/" ? folder : folder + "/") + name;
        SoundRef sound = soundLoader.initWithContentsOfFile(full);
        if (!sound) continue;
        sounds.insert_or_assign(deletingLastExtension(name), std::move(sound));
    }
    return sounds;
}

}  // namespace tapsound
