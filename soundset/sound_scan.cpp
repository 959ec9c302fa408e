#include "soundset/sound_scan.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "platform/file_manager.h"
#include "platform/sound.h"

namespace tapsound {

namespace {

std::string deletingLastExtension(const std::string& name) {
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return name;
    return name.substr(0, dot);
}

}  // namespace

void forEachInParallel(std::size_t count, const std::function<void(std::size_t)>& work,
                       const std::function<bool()>& stopped) {
    // Each worker takes the next index.
    std::atomic<std::size_t> next{0};
    const auto worker = [&] {
        for (std::size_t i; (i = next++) < count && !(stopped && stopped());) work(i);
    };
    const std::size_t workers = std::min<std::size_t>(
        std::clamp(std::thread::hardware_concurrency(), 1u, kMaxDecodingThreads), count);
    std::vector<std::thread> threads;
    for (std::size_t t = 1; t < workers; ++t) threads.emplace_back(worker);
    worker();
    for (auto& thread : threads) thread.join();
}

SoundsDictionary soundsDictionaryWithDirectryPath(const platform::FileManager& fileManager,
                                                  platform::SoundLoader& soundLoader,
                                                  const std::string& path,
                                                  const std::function<bool()>& stopped,
                                                  std::size_t budgetBytes) {
    SoundsDictionary sounds;
    const auto listed =
        fileManager.boundedContentsOfDirectoryAtPath(path, stopped, kMaxFolderEntries);
    if (!listed) return sounds;
    std::string folder = path;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    const auto pathOf = [&](const std::string& name) {
        return (folder == "/" ? folder : folder + "/") + name;
    };

    // Names of one file (links, hard or symbolic) share one decoded sound: a folder of links to
    // one long file costs that file once. What is no regular file is never opened.
    std::vector<std::string> names;
    std::vector<std::size_t> sameAs;  // for each name, the index of its file's first name
    std::map<std::pair<dev_t, ino_t>, std::size_t> files;
    for (const std::string& name : *listed) {
        if (names.size() % 64 == 0 && stopped && stopped()) return {};
        struct stat st {};
        if (name.empty() || name.front() == '.' || stat(pathOf(name).c_str(), &st) != 0 ||
            !S_ISREG(st.st_mode)) {
            continue;
        }
        sameAs.push_back(files.try_emplace({st.st_dev, st.st_ino}, names.size()).first->second);
        names.push_back(name);
    }
    std::vector<std::size_t> distinct;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (sameAs[i] == i) distinct.push_back(i);
    }

    // A sound is decoded only when the set's budget can pay for it.
    std::vector<SoundRef> decoded(names.size());
    platform::LoadBudget budget(budgetBytes, stopped);
    forEachInParallel(
        distinct.size(),
        [&](std::size_t i) {
            decoded[distinct[i]] = soundLoader.initWithContentsOfFile(pathOf(names[distinct[i]]), budget);
        },
        [&] { return budget.stopped(); });
    if (budget.stopped()) return {};

    for (std::size_t i = 0; i < names.size(); ++i) {
        if (const SoundRef& sound = decoded[sameAs[i]]) {
            sounds.insert_or_assign(deletingLastExtension(names[i]),
                                    i == sameAs[i] ? sound : std::make_shared<const platform::Sound>(*sound));
        }
    }
    return sounds;
}

}  // namespace tapsound
