#include <cstdint>

#include "app/app_delegate.h"
#include "platform/key_positions.h"

namespace tapsound {

void AppDelegate::playSoundWithKeyCode(int keyCode) {
    if (isSilentFor(keyCode, true)) return;
    playSoundInSlot(_keyArray, keyCode);
}

void AppDelegate::playKeyUpSoundWithKeyCode(int keyCode) {
    if (isSilentFor(keyCode, false)) return;
    playSoundInSlot(_keyUpArray, keyCode);
}

void AppDelegate::playSoundInSlot(const KeyArray& keys, int keyCode, std::optional<float> position) {
    if (_muted) return;
    // The table has no slot beyond 255: such codes (and negative ones) stay silent.
    if (keyCode < 0 || static_cast<std::size_t>(keyCode) >= kKeyCodeCount) return;
    playSlot(keys[static_cast<std::size_t>(keyCode)], _volume * _setVolume,
             position ? *position : platform::keyPosition(keyCode));
}

void AppDelegate::playButtonSound(int button, bool down, float pointerX) {
    if (button < 0 || static_cast<std::size_t>(button) >= kMouseButtonCount) return;
    // The quiet rules of keys: a button that went down silent comes up silent.
    auto wentDownSilent = _buttonsDownWhileSilent[static_cast<std::size_t>(button)];
    const bool silent = down ? (wentDownSilent = _silent) : (_silent || wentDownSilent);
    if (!down) wentDownSilent = false;
    if (silent || _muted) return;
    const bool mousePack = anyButtonFilled(_buttonArray) || anyButtonFilled(_buttonUpArray);
    const ButtonArray& buttons = mousePack ? (down ? _buttonArray : _buttonUpArray)
                                           : (down ? _setButtonArray : _setButtonUpArray);
    playSlot(buttons[static_cast<std::size_t>(button)],
             _volume * (mousePack ? _mouseVolume : _setVolume),
             pointerPosition(pointerX >= 0 || _stereoWidth == 0 ? pointerX : pointerOnScreen()));
}

void AppDelegate::playSlot(const SlotRef& slot, float volume, float position) {
    if (!slot || slot->sounds.empty()) return;

    const platform::Sound* sound = nullptr;
    if (!slot->weighted) {
        sound = slot->sounds[0].get();
    } else {
        const std::size_t n = slot->sounds.size();
        const int r = _platform.rand();
        const auto R = static_cast<std::int32_t>(static_cast<double>(r) * 4.656612873077393e-10 *
                                                 2147483647.0);
        std::size_t i = n - 1;
        for (std::size_t k = 0; k + 1 < n && k < slot->thresholds.size(); ++k) {
            if (slot->thresholds[k] > R) {
                i = k;
                break;
            }
        }
        sound = slot->sounds[i].get();
    }
    if (!sound) return;

    platform::Sound copy = *sound;
    copy.setVolume(volume);
    copy.play(voicingAt(position));
}

}  // namespace tapsound
