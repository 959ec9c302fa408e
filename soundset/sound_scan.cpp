#include "soundset/sound_scan.h"

#include <algorithm>
#include <atomic>
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
    const auto listed = fileManager.contentsOfDirectoryAtPath(path);
    if (!listed) return sounds;
    std::string folder = path;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    std::vector<std::string> names;
    for (const std::string& name : *listed) {
        if (!name.empty() && name.front() != '.') names.push_back(name);
    }

    // A sound is decoded only when the set's budget can pay for it.
    std::vector<SoundRef> decoded(names.size());
    platform::LoadBudget budget(budgetBytes, stopped);
    forEachInParallel(
        names.size(),
        [&](std::size_t i) {
            decoded[i] = soundLoader.initWithContentsOfFile(
                (folder == "/" ? folder : folder + "/") + names[i], budget);
        },
        [&] { return budget.stopped(); });

    for (std::size_t i = 0; i < names.size(); ++i) {
        if (decoded[i]) sounds.insert_or_assign(deletingLastExtension(names[i]), std::move(decoded[i]));
    }
    return sounds;
}

}  // namespace tapsound
