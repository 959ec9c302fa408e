#include "app/app_delegate.h"
#include "soundset/sound_scan.h"

namespace tapsound {

SoundsDictionary AppDelegate::soundsDictionaryWithDirectryPath(const std::string& path) {
    return tapsound::soundsDictionaryWithDirectryPath(_platform.fileManager, _platform.soundLoader,
                                                      path);
}

void AppDelegate::createKeyCodeArrayWithSoundsDictSoundsetDict(
    const SoundsDictionary* soundsDict, const platform::PlistDictionary* soundsetDict) {
    _keyArray = createKeyCodeArray(soundsDict, soundsetDict);
}

}  // namespace tapsound
