#include "soundset/pack_tables.h"

#include <QString>
#include <algorithm>
#include <cctype>

#include "platform/file_manager.h"
#include "platform/sound.h"
#include "platform/virtual_keys.h"

namespace tapsound {

namespace {

struct CodedName {
    unsigned kernelCode;
    bool pressed;
};

// "1e-1.wav" is key 0x1e pressed, "1E-0" the same key released.
std::optional<CodedName> codedName(const std::string& name) {
    if (name.size() < 4 || name[2] != '-' || (name[3] != '0' && name[3] != '1') ||
        (name.size() > 4 && name[4] != '.')) {
        return std::nullopt;
    }
    if (!std::isxdigit(static_cast<unsigned char>(name[0])) ||
        !std::isxdigit(static_cast<unsigned char>(name[1]))) {
        return std::nullopt;
    }
    return CodedName{static_cast<unsigned>(std::stoul(name.substr(0, 2), nullptr, 16)),
                     name[3] == '1'};
}

std::string extensionOf(const std::string& name) {
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return {};
    return QString::fromStdString(name.substr(dot + 1)).toLower().toStdString();
}

}  // namespace

std::optional<PackTables> kernelCodeFolderAtPath(const std::string& path,
                                                 const platform::FileManager& fileManager,
                                                 platform::SoundLoader& soundLoader,
                                                 const std::function<bool()>& stopped,
                                                 std::size_t budgetBytes) {
    bool isDirectory = false;
    if (!fileManager.fileExistsAtPath(path, &isDirectory) || !isDirectory) return std::nullopt;
    auto names = fileManager.boundedContentsOfDirectoryAtPath(path, stopped, kMaxFolderEntries)
                     .value_or(std::vector<std::string>{});
    std::sort(names.begin(), names.end());

    // The form is recognised when most sounds are named by key code; other files such as a
    // README are not sounds and do not count.
    std::vector<std::string> soundTypes = soundLoader.soundUnfilteredTypes();
    for (auto& type : soundTypes) type = QString::fromStdString(type).toLower().toStdString();
    std::size_t coded = 0, others = 0;
    // Slot by slot, the lowest kernel code naming a virtual key wins, then the first name.
    std::vector<std::pair<std::pair<bool, unsigned>, std::string>> entries;
    for (const std::string& name : names) {
        if (name.empty() || name.front() == '.') continue;
        if (const auto key = codedName(name)) {
            ++coded;
            entries.push_back({{key->pressed, key->kernelCode}, name});
        } else if (std::find(soundTypes.begin(), soundTypes.end(), extensionOf(name)) !=
                   soundTypes.end()) {
            ++others;
        }
    }
    if (coded == 0 || coded <= others) return std::nullopt;
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });

    std::vector<std::pair<SlotRef*, std::string>> wanted;
    PackTables tables;
    std::array<bool, kKeyCodeCount> pressTaken{}, releaseTaken{};
    for (const auto& [key, name] : entries) {
        const auto virtualCode = platform::virtualKeyCodeForKernelKey(key.second);
        if (!virtualCode || *virtualCode >= kKeyCodeCount) continue;
        auto& taken = (key.first ? pressTaken : releaseTaken)[*virtualCode];
        if (taken) continue;
        taken = true;
        wanted.emplace_back(&(key.first ? tables.press : tables.release)[*virtualCode], name);
    }

    std::string folder = path;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (folder == "/") folder.clear();
    platform::LoadBudget budget(budgetBytes, stopped);
    std::vector<SoundRef> sounds(wanted.size());
    forEachInParallel(
        wanted.size(),
        [&](std::size_t i) {
            sounds[i] = soundLoader.initWithContentsOfFile(folder + "/" + wanted[i].second, budget);
        },
        [&] { return budget.stopped(); });
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        *wanted[i].first =
            slotOfVariants(sounds[i] ? std::vector{sounds[i]} : std::vector<SoundRef>{});
    }
    return tables;
}

}  // namespace tapsound
