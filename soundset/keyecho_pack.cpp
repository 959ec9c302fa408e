#include <QJsonArray>
#include <cmath>

#include "platform/virtual_keys.h"
#include "soundset/pack_files.h"
#include "soundset/pack_tables.h"

namespace tapsound {

namespace {

using platform::SoundSlice;

bool namesKeys(const QJsonObject& defines) {
    for (auto it = defines.begin(); it != defines.end(); ++it) {
        if (platform::kernelCodeForKeyName(it.key().toStdString(), platform::KeyNaming::KeyEcho)) {
            return true;
        }
    }
    return false;
}

// Version 1: [start, duration] in milliseconds.
std::vector<SoundSlice> timedSlices(const QJsonValue& value) {
    const QJsonArray pair = value.toArray();
    const auto start = pair.size() >= 2 ? numberOf(pair[0]) : std::nullopt;
    const auto duration = pair.size() >= 2 ? numberOf(pair[1]) : std::nullopt;
    if (!start || !duration) return {};
    return {SoundSlice{*start, *duration}};
}

// Version 2: {startFrame, frameCount} slices, each one a variant, as a list, under "slices", or
// alone.
std::vector<SoundSlice> frameSlices(const QJsonValue& value, double sampleRate) {
    QJsonArray list = value.isArray() ? value.toArray() : QJsonArray{value};
    if (value.toObject().value("slices").isArray())
        list = value.toObject().value("slices").toArray();
    std::vector<SoundSlice> slices;
    for (const QJsonValue& item : list) {
        if (slices.size() >= kMaxVariants) break;
        const QJsonObject slice = item.toObject();
        const auto start = numberOf(slice.value("startFrame"));
        const auto count = numberOf(slice.value("frameCount"));
        if (start && count)
            slices.push_back({*start * 1000 / sampleRate, *count * 1000 / sampleRate});
    }
    return slices;
}

}  // namespace

std::optional<PackTables> keyEchoPackAtPath(const std::string& path,
                                            const platform::FileManager& fileManager,
                                            platform::SoundLoader& soundLoader,
                                            const std::function<bool()>& stopped,
                                            std::size_t budgetBytes) {
    const auto files = packFiles(path, fileManager);
    const auto text = packConfig(files.get(), stopped);
    const auto config = text ? parsedConfig(*text) : std::nullopt;
    if (!config) return std::nullopt;
    const QJsonObject defines = config->value("defines").toObject();
    const QJsonObject releases = config->value("releases").toObject();
    const QJsonObject audio = config->value("audio").toObject();
    // Version 2 by its fields, not its number alone; version 1 by naming keys where Mechvibes'
    // packs number them.
    const bool version2 = numberOf(config->value("schemaVersion")) == 2.0 && !audio.isEmpty();
    if (!version2 && !namesKeys(defines) && !namesKeys(releases)) return std::nullopt;

    std::string sound = textOf(version2 ? audio.value("file") : config->value("sound"));
    if (sound.empty() && !version2) sound = "sound.ogg";
    const double sampleRate = numberOf(audio.value("sampleRate")).value_or(0);
    PackTables tables;
    if (version2 && !(std::isfinite(sampleRate) && sampleRate >= 1)) return tables;

    PackSounds sounds(*files);
    for (const auto& [table, released] : {std::pair{&defines, false}, std::pair{&releases, true}}) {
        for (auto it = table->begin(); it != table->end(); ++it) {
            const auto code = platform::kernelCodeForKeyName(it.key().toStdString(),
                                                             platform::KeyNaming::KeyEcho);
            SlotRef* slot = code ? slotOfKernelCode(tables, *code, released) : nullptr;
            if (!slot) continue;
            sounds.wantSlices(
                *slot, sound,
                version2 ? frameSlices(it.value(), sampleRate) : timedSlices(it.value()));
        }
    }
    sounds.decode(soundLoader, stopped, budgetBytes);
    return tables;
}

}  // namespace tapsound
