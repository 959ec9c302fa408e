#include "soundset/pack_tables.h"

#include <linux/input-event-codes.h>

namespace tapsound {

std::optional<MouseButton> mouseButtonForKernelCode(unsigned code) {
    if (code < BTN_LEFT || code > BTN_TASK) return std::nullopt;
    constexpr MouseButton kByCode[] = {MouseButton::Left,  MouseButton::Right,   MouseButton::Middle,
                                       MouseButton::Side,  MouseButton::Extra,   MouseButton::Forward,
                                       MouseButton::Back,  MouseButton::Task};
    return kByCode[code - BTN_LEFT];
}

SlotRef slotOfVariants(std::vector<SoundRef> sounds) {
    if (sounds.empty()) return nullptr;
    auto slot = std::make_shared<KeySlot>();
    if (sounds.size() > 1) {
        slot->weighted = true;
        slot->lastWeight = 1.0;
        // The cumulative thresholds of equal weights, truncated the way soundset.plist weights are.
        const double share = 2147483647.0 / static_cast<double>(sounds.size());
        std::int32_t threshold = 0;
        for (std::size_t k = 0; k + 1 < sounds.size(); ++k) {
            threshold = static_cast<std::int32_t>(share + threshold);
            slot->thresholds.push_back(threshold);
        }
    }
    slot->sounds = std::move(sounds);
    return slot;
}

std::optional<PackTables> packAtPath(const std::string& path,
                                     const platform::FileManager& fileManager,
                                     platform::SoundLoader& soundLoader,
                                     const std::function<bool()>& stopped) {
    using Reader = std::optional<PackTables> (*)(const std::string&, const platform::FileManager&,
                                                 platform::SoundLoader&,
                                                 const std::function<bool()>&, std::size_t);
    // KeyEcho's "defines" by key name come before Mechvibes' by key code.
    constexpr Reader kReaders[] = {mechvibesDxPackAtPath, keyEchoPackAtPath, configJsonPackAtPath,
                                   thockPackAtPath,       keyboardsoundsProfileAtPath,
                                   kernelCodeFolderAtPath};
    for (const Reader reader : kReaders) {
        if (stopped && stopped()) return std::nullopt;
        auto pack = reader(path, fileManager, soundLoader, stopped, kMaxDecodedBytesPerSet);
        if (pack) return pack;
    }
    return std::nullopt;
}

namespace {

// Decodes nothing, so a reader tells only the pack's form.
struct NoSounds : platform::SoundLoader {
    SoundRef initWithContentsOfFile(const std::string&, platform::LoadBudget&) override {
        return nullptr;
    }
    std::vector<std::string> soundUnfilteredTypes() const override { return {}; }
};

}  // namespace

bool isMousePackAtPath(const std::string& path, const platform::FileManager& fileManager) {
    NoSounds none;
    // Nothing to spend: a zipped sound is not even inflated.
    for (const auto reader : {mechvibesDxPackAtPath, thockPackAtPath, keyboardsoundsProfileAtPath}) {
        if (const auto pack = reader(path, fileManager, none, {}, 0)) return pack->mouse;
    }
    return false;
}

}  // namespace tapsound
