#include <QJsonArray>

#include "platform/virtual_keys.h"
#include "soundset/pack_files.h"
#include "soundset/pack_tables.h"

namespace tapsound {

namespace {

// [start, end] in milliseconds: an end, where Mechvibes' own packs give a duration.
std::optional<platform::SoundSlice> sliceOf(const QJsonValue& value) {
    const QJsonArray pair = value.toArray();
    if (pair.size() < 2) return std::nullopt;
    const auto start = numberOf(pair[0]), end = numberOf(pair[1]);
    if (!start || !end || !(*end > *start)) return std::nullopt;
    return platform::SoundSlice{*start, *end - *start};
}

}  // namespace

std::optional<PackTables> mechvibesDxPackAtPath(const std::string& path,
                                                const platform::FileManager& fileManager,
                                                platform::SoundLoader& soundLoader,
                                                const std::function<bool()>& stopped,
                                                std::size_t budgetBytes) {
    const auto files = packFiles(path, fileManager);
    const auto text = packConfig(files.get(), stopped);
    const auto config = text ? parsedConfig(*text) : std::nullopt;
    // Told from Mechvibes' own packs, whatever their version says, by its definitions.
    if (!config || !config->value("definitions").isObject() || config->contains("defines")) {
        return std::nullopt;
    }
    const QJsonObject definitions = config->value("definitions").toObject();
    const bool multi = config->value("definition_method")
                           .toString()
                           .trimmed()
                           .compare("multi", Qt::CaseInsensitive) == 0;
    const std::string shared = textOf(config->value("audio_file"));
    PackTables tables;
    tables.mouse = config->value("soundpack_type")
                       .toString()
                       .trimmed()
                       .compare("mouse", Qt::CaseInsensitive) == 0;
    tables.volume =
        packVolume(numberOf(config->value("options").toObject().value("recommended_volume")));

    PackSounds sounds(*files);
    for (auto it = definitions.begin(); it != definitions.end(); ++it) {
        const auto code = platform::kernelCodeForKeyName(it.key().toStdString(),
                                                         platform::KeyNaming::KeyboardEventCode);
        if (!code) continue;
        const QJsonObject definition = it.value().toObject();
        const std::string own = multi ? textOf(definition.value("audio_file")) : std::string();
        const std::string& file = own.empty() ? shared : own;
        QJsonArray timing = definition.value("timing").toArray();
        // A single [start, end] written without its outer list.
        if (!timing.isEmpty() && !timing[0].isArray()) timing = QJsonArray{timing};
        for (const bool released : {false, true}) {
            SlotRef* slot = slotOfKernelCode(tables, *code, released);
            const auto index = static_cast<qsizetype>(released);
            if (!slot) continue;
            if (timing.size() > index) {
                if (const auto slice = sliceOf(timing[index]))
                    sounds.wantSlices(*slot, file, {*slice});
            } else if (!released && !own.empty() && timing.isEmpty()) {
                sounds.wantFiles(*slot, {own});  // a multi pack's file played whole
            }
        }
    }
    sounds.decode(soundLoader, stopped, budgetBytes);
    return tables;
}

}  // namespace tapsound
