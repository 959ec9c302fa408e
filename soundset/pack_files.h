#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/sound.h"
#include "soundset/key_code_table.h"
#include "soundset/pack_tables.h"

namespace tapsound {

namespace platform {
class FileManager;
}

// What the readers of other programs' packs share: where a pack's files are, its description
// parsed within bounds, and its sounds decoded once each.

inline constexpr std::size_t kMaxConfigBytes = std::size_t{4} << 20;
// Distinct files a pack may name, so a hostile description cannot keep the loader busy for long.
inline constexpr std::size_t kMaxPackFiles = 4096;
inline constexpr std::size_t kMaxLookups = 4 * kMaxPackFiles;
// Sounds one key may draw among.
inline constexpr std::size_t kMaxVariants = 256;

// A regular file's bytes when it holds at most `maxBytes`; FIFOs and devices are never opened.
std::optional<std::string> readSmallFile(const std::string& path, std::size_t maxBytes);

// The parts of a relative name written in a pack, "/" or "\" between them; nothing when it is
// absolute, climbs out of the pack, or holds a NUL (the file system would read it cut short).
std::optional<std::vector<std::string>> relativeParts(std::string name);

// Where a pack's files are: a folder, or an archive read in memory.
class PackFiles {
  public:
    virtual ~PackFiles() = default;
    // The file naming the format (config.json, profile.yaml), within kMaxConfigBytes.
    virtual std::optional<std::string> config() = 0;
    // The file a relative name means, matched regardless of case where the exact name is missing.
    virtual std::optional<std::string> locate(const std::vector<std::string>& parts) = 0;
    virtual SoundRef sound(const std::string& file, platform::SoundLoader& loader,
                           platform::LoadBudget& budget) = 0;
    virtual std::vector<SoundRef> slices(const std::string& file, platform::SoundLoader& loader,
                                         const std::vector<platform::SoundSlice>& slices,
                                         platform::LoadBudget& budget) = 0;
};

// A pack described by the file `marker`: a folder holding it, that file itself, or a zip archive
// holding it at its root or in its one top folder. Nothing for any other location.
std::unique_ptr<PackFiles> packFiles(const std::string& location,
                                     const platform::FileManager& fileManager,
                                     const std::string& marker = "config.json");

// A pack's JSON description; hand-written ones with a byte-order mark and trailing commas are taken
// as meant. Nothing when it is not a JSON object.
std::optional<QJsonObject> parsedConfig(std::string text);
// A number, also when written as a string.
std::optional<double> numberOf(const QJsonValue& value);
// A file name, or nothing for one no file system could hold, before any copy of it is made.
std::string textOf(const QJsonValue& value);
// A pack's recommended volume as our scale takes it: finite, 0 to 2, else as is.
float packVolume(std::optional<double> volume);

// The slot of a kernel key or button code (KEY_*, BTN_*) in a pack's tables; nothing for a code
// without one.
SlotRef* slotOfKernelCode(PackTables& tables, unsigned code, bool released);

// Reads a pack's description, stopping between the stages once `stopped` answers true.
std::optional<std::string> packConfig(PackFiles* files, const std::function<bool()>& stopped);

// What a pack's slots play, gathered before anything decodes: every file and every slice of a file
// decodes once, slots drawing among the same sounds share one slot, and past kMaxPackFiles files or
// kMaxLookups names further ones are skipped.
class PackSounds {
  public:
    explicit PackSounds(PackFiles& files) : _files(files) {}
    // The slot draws among these files, named as the pack writes them; missing ones are skipped.
    void wantFiles(SlotRef& slot, const std::vector<std::string>& names);
    // The slot draws among these stretches of one file.
    void wantSlices(SlotRef& slot, const std::string& name,
                    const std::vector<platform::SoundSlice>& slices);
    // Decodes within the budget and fills the slots wanted; slots without a sound stay empty.
    void decode(platform::SoundLoader& loader, const std::function<bool()>& stopped,
                std::size_t budgetBytes);

  private:
    struct Source {
        std::size_t file;
        std::optional<platform::SoundSlice> slice;
        auto operator<=>(const Source&) const = default;
    };
    std::optional<std::size_t> fileOf(const std::string& name);

    PackFiles& _files;
    std::vector<std::string> _located;
    std::map<std::string, std::size_t> _indexOf;
    std::map<std::string, std::optional<std::size_t>> _byName;
    std::size_t _lookups = 0;
    std::vector<std::pair<SlotRef*, std::vector<Source>>> _wanted;
};

}  // namespace tapsound
