#pragma once

#include <memory>

#include "platform/sound.h"

namespace tapsound::platform {

// The audio output for this session, from a short ordered list: PipeWire when its daemon answers,
// else PulseAudio (which also finds PipeWire's pulse server, or a server that starts later).
// TAPSOUND_AUDIO ("pipewire", "pulse") overrides the choice.
std::shared_ptr<SoundPlayer> chooseSoundPlayer();

}  // namespace tapsound::platform
