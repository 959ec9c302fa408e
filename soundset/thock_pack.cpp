#include <QJsonArray>

#include "platform/virtual_keys.h"
#include "soundset/pack_files.h"
#include "soundset/pack_tables.h"

namespace tapsound {

namespace {

// A file or a list of files, one drawn at random per press.
std::vector<std::string> filesOf(const QJsonValue& value) {
    std::vector<std::string> files;
    if (value.isString()) files.push_back(textOf(value));
    for (const QJsonValue& item : value.toArray()) {
        if (files.size() >= kMaxVariants) break;
        files.push_back(textOf(item));
    }
    return files;
}

bool isButton(unsigned code) { return mouseButtonForKernelCode(code).has_value(); }

}  // namespace

std::optional<PackTables> thockPackAtPath(const std::string& path,
                                          const platform::FileManager& fileManager,
                                          platform::SoundLoader& soundLoader,
                                          const std::function<bool()>& stopped,
                                          std::size_t budgetBytes) {
    const auto files = packFiles(path, fileManager);
    const auto text = packConfig(files.get(), stopped);
    const auto config = text ? parsedConfig(*text) : std::nullopt;
    if (!config || !config->value("sounds").isObject() || !config->value("metadata").isObject()) {
        return std::nullopt;
    }
    const QJsonObject metadata = config->value("metadata").toObject();
    const QJsonObject byName = config->value("sounds").toObject();
    const bool keyUp = metadata.value("supportsKeyUp").toBool(true);

    // A pack naming buttons and no key is a mouse pack: its default then covers the buttons.
    bool buttons = false, keys = false;
    for (auto it = byName.begin(); it != byName.end(); ++it) {
        const auto code =
            platform::kernelCodeForKeyName(it.key().toStdString(), platform::KeyNaming::Thock);
        (code && isButton(*code) ? buttons : keys) |= code.has_value();
    }
    PackTables tables;
    tables.mouse = buttons && !keys;
    tables.volume = packVolume(numberOf(metadata.value("volume")));

    PackSounds sounds(*files);
    const auto want = [&](SlotRef& press, SlotRef& release, const QJsonObject& entry) {
        sounds.wantFiles(press, filesOf(entry.value("down")));
        if (keyUp) sounds.wantFiles(release, filesOf(entry.value("up")));
    };
    if (const QJsonObject all = byName.value("default").toObject(); !all.isEmpty()) {
        for (std::size_t i = 0; i < (tables.mouse ? kMouseButtonCount : kKeyCodeCount); ++i) {
            want(tables.mouse ? tables.buttonPress[i] : tables.press[i],
                 tables.mouse ? tables.buttonRelease[i] : tables.release[i], all);
        }
    }
    for (auto it = byName.begin(); it != byName.end(); ++it) {
        const auto code =
            platform::kernelCodeForKeyName(it.key().toStdString(), platform::KeyNaming::Thock);
        if (!code || !slotOfKernelCode(tables, *code, false)) continue;
        want(*slotOfKernelCode(tables, *code, false), *slotOfKernelCode(tables, *code, true),
             it.value().toObject());
    }
    sounds.decode(soundLoader, stopped, budgetBytes);
    return tables;
}

}  // namespace tapsound
