#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/audio_devices.h"

#include "platform/sound.h"

namespace tapsound::platform {

// The audio output for this session, from a short ordered list: PipeWire when its daemon answers,
// else PulseAudio (which also finds PipeWire's pulse server, or a server that starts later).
// TAPSOUND_AUDIO ("pipewire", "pulse") overrides the choice.
std::shared_ptr<SoundPlayer> chooseSoundPlayer();

// Watches the outputs a player can be routed to. Through the pulse protocol, which PipeWire's
// pulse server speaks as well, naming outputs as PipeWire names its nodes.
std::unique_ptr<OutputDevices> watchOutputDevices(
    std::function<void(std::vector<OutputDevice>)> changed);

}  // namespace tapsound::platform
