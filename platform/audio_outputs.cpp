#include "platform/audio_outputs.h"

#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "platform/audio_devices_pulse.h"
#include "platform/audio_output_pipewire.h"
#include "platform/audio_output_pulse.h"

namespace tapsound::platform {

namespace {

struct Output {
    const char* name;
    std::function<bool()> canRunHere;
    std::function<std::shared_ptr<SoundPlayer>()> create;
};

const std::vector<Output>& outputs() {
    static const std::vector<Output> list = {
        {"pipewire", [] { return PipeWireSoundPlayer::canRunHere(); },
         [] { return std::make_shared<PipeWireSoundPlayer>(); }},
        {"pulse", [] { return true; }, [] { return std::make_shared<PulseSoundPlayer>(); }},
    };
    return list;
}

}  // namespace

std::shared_ptr<SoundPlayer> chooseSoundPlayer() {
    const auto& list = outputs();
    if (const char* chosen = std::getenv("TAPSOUND_AUDIO"); chosen && *chosen) {
        for (const auto& output : list) {
            if (std::strcmp(output.name, chosen) == 0) return output.create();
        }
    }
    for (const auto& output : list) {
        if (output.canRunHere()) return output.create();
    }
    return list.back().create();
}

std::unique_ptr<OutputDevices> watchOutputDevices(
    std::function<void(std::vector<OutputDevice>)> changed) {
    return std::make_unique<PulseOutputDevices>(std::move(changed));
}

}  // namespace tapsound::platform
