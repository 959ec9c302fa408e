#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <map>
#include <set>

#include "platform/file_manager_posix.h"
#include "platform/sound.h"
#include "platform/virtual_keys.h"
#include "soundset/pack_tables.h"
#include "soundset/zip_archive.h"

namespace tapsound {

namespace {

using platform::SoundSlice;

constexpr std::size_t kMaxConfigBytes = std::size_t{4} << 20;
// "{a-b}" in a name stands for at most this many files.
constexpr unsigned kMaxVariants = 256;
// Distinct files a pack may name, so a hostile config.json cannot keep the loader busy for long.
constexpr std::size_t kMaxPackFiles = 4096;
constexpr std::size_t kMaxLookups = 4 * kMaxPackFiles;

std::optional<std::string> readSmallFile(const std::string& path, std::size_t maxBytes) {
    const int fd = platform::openRegularFile(path);
    if (fd < 0) return std::nullopt;
    std::optional<std::string> text;
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<std::size_t>(st.st_size) <= maxBytes) {
        text.emplace(static_cast<std::size_t>(st.st_size), '\0');
        std::size_t done = 0;
        while (done < text->size()) {
            const ssize_t got = ::read(fd, text->data() + done, text->size() - done);
            if (got <= 0) break;
            done += static_cast<std::size_t>(got);
        }
        text->resize(done);
    }
    ::close(fd);
    return text;
}

// The parts of a relative name written in config.json, "/" or "\" between them; nothing when it
// is absolute, climbs out of the pack, or holds a NUL (the file system would read it cut short).
std::optional<std::vector<std::string>> relativeParts(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    if (name.empty() || name.front() == '/' || (name.size() >= 2 && name[1] == ':') ||
        name.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    std::vector<std::string> parts;
    for (std::size_t start = 0; start <= name.size();) {
        const auto end = std::min(name.find('/', start), name.size());
        std::string part = name.substr(start, end - start);
        start = end + 1;
        if (part == "..") return std::nullopt;
        if (!part.empty() && part != ".") parts.push_back(std::move(part));
    }
    if (parts.empty()) return std::nullopt;
    return parts;
}

// Where a pack's files are: a folder, or an archive read in memory.
class PackFiles {
  public:
    virtual ~PackFiles() = default;
    virtual std::optional<std::string> config() = 0;
    // The file a relative name means, matched regardless of case where the exact name is missing.
    virtual std::optional<std::string> locate(const std::vector<std::string>& parts) = 0;
    virtual SoundRef sound(const std::string& file, platform::SoundLoader& loader,
                           platform::LoadBudget& budget) = 0;
    virtual std::vector<SoundRef> slices(const std::string& file, platform::SoundLoader& loader,
                                         const std::vector<SoundSlice>& slices,
                                         platform::LoadBudget& budget) = 0;
};

class FolderFiles : public PackFiles {
  public:
    FolderFiles(std::string folder, const platform::FileManager& files)
        : _folder(std::move(folder)), _files(files) {}

    std::optional<std::string> config() override {
        const auto path = locate({"config.json"});
        return path ? readSmallFile(*path, kMaxConfigBytes) : std::nullopt;
    }
    std::optional<std::string> locate(const std::vector<std::string>& parts) override {
        std::string path = _folder;
        for (const std::string& part : parts) {
            const std::string exact = path + "/" + part;
            if (bool isDirectory = false; _files.fileExistsAtPath(exact, &isDirectory)) {
                path = exact;
                continue;
            }
            auto listed = _listings.find(path);
            if (listed == _listings.end()) {
                // Names by their case-folded form, the first listed winning.
                std::map<std::string, std::string> byFolded;
                for (auto& name :
                     _files.contentsOfDirectoryAtPath(path).value_or(std::vector<std::string>{})) {
                    byFolded.emplace(caseFolded(name), std::move(name));
                }
                listed = _listings.emplace(path, std::move(byFolded)).first;
            }
            const auto match = listed->second.find(caseFolded(part));
            if (match == listed->second.end()) return std::nullopt;
            path += "/" + match->second;
        }
        return path;
    }
    SoundRef sound(const std::string& file, platform::SoundLoader& loader,
                   platform::LoadBudget& budget) override {
        return loader.initWithContentsOfFile(file, budget);
    }
    std::vector<SoundRef> slices(const std::string& file, platform::SoundLoader& loader,
                                 const std::vector<SoundSlice>& slices,
                                 platform::LoadBudget& budget) override {
        return loader.slicesWithContentsOfFile(file, slices, budget);
    }

  private:
    std::string _folder;
    const platform::FileManager& _files;
    std::map<std::string, std::map<std::string, std::string>> _listings;
};

class ArchiveFiles : public PackFiles {
  public:
    ArchiveFiles(std::unique_ptr<ZipArchive> archive, std::string top)
        : _archive(std::move(archive)), _top(std::move(top)) {}

    std::optional<std::string> config() override {
        const auto entry = _archive->find(_top + "config.json");
        if (!entry) return std::nullopt;
        auto bytes = _archive->read(*entry, kMaxConfigBytes);
        if (!bytes) return std::nullopt;
        return std::string(bytes->begin(), bytes->end());
    }
    std::optional<std::string> locate(const std::vector<std::string>& parts) override {
        std::string name = _top;
        for (const std::string& part : parts) name += (name.size() > _top.size() ? "/" : "") + part;
        const auto entry = _archive->find(name);
        if (!entry) return std::nullopt;
        return _archive->names()[*entry];
    }
    // The entry's bytes are paid for by the set's budget while they are decoded.
    SoundRef sound(const std::string& file, platform::SoundLoader& loader,
                   platform::LoadBudget& budget) override {
        const auto entry = _archive->find(file);
        const auto bytes = entry ? _archive->read(*entry, SIZE_MAX, &budget) : std::nullopt;
        if (!bytes) return nullptr;
        SoundRef sound = loader.initWithData(*bytes, file, budget);
        budget.giveBack(bytes->capacity());
        return sound;
    }
    std::vector<SoundRef> slices(const std::string& file, platform::SoundLoader& loader,
                                 const std::vector<SoundSlice>& slices,
                                 platform::LoadBudget& budget) override {
        const auto entry = _archive->find(file);
        const auto bytes = entry ? _archive->read(*entry, SIZE_MAX, &budget) : std::nullopt;
        if (!bytes) return std::vector<SoundRef>(slices.size());
        auto sounds = loader.slicesWithData(*bytes, file, slices, budget);
        budget.giveBack(bytes->capacity());
        return sounds;
    }

  private:
    std::unique_ptr<ZipArchive> _archive;
    std::string _top;  // "" or the one top folder with its "/"
};

bool isJunk(const std::string& name) {
    return name.rfind("__MACOSX/", 0) == 0 || name.front() == '.';
}

// The archive's files, when it holds config.json at its root or inside its one top folder.
std::unique_ptr<PackFiles> archiveFiles(const std::string& path) {
    auto archive = ZipArchive::open(path);
    if (!archive) return nullptr;
    if (archive->find("config.json")) return std::make_unique<ArchiveFiles>(std::move(archive), "");
    std::string top;
    for (const std::string& name : archive->names()) {
        if (isJunk(name)) continue;
        const auto slash = name.find('/');
        if (slash == std::string::npos) return nullptr;  // a file at the root beside the folder
        const std::string folder = name.substr(0, slash + 1);
        if (!top.empty() && folder != top) return nullptr;
        top = folder;
    }
    if (top.empty() || !archive->find(top + "config.json")) return nullptr;
    return std::make_unique<ArchiveFiles>(std::move(archive), top);
}

std::unique_ptr<PackFiles> packFiles(const std::string& location,
                                     const platform::FileManager& fileManager) {
    std::string path = location;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    bool isDirectory = false;
    if (!fileManager.fileExistsAtPath(path, &isDirectory)) return nullptr;
    if (isDirectory) return std::make_unique<FolderFiles>(path == "/" ? "" : path, fileManager);
    // config.json itself chosen in the open dialog stands for its folder.
    const auto slash = path.rfind('/');
    if (slash != std::string::npos && caseFolded(path.substr(slash + 1)) == "config.json") {
        return std::make_unique<FolderFiles>(path.substr(0, slash), fileManager);
    }
    return archiveFiles(path);
}

// Real packs are written by hand: a byte-order mark and trailing commas are taken as meant.
std::optional<QJsonObject> parsedConfig(std::string text) {
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    std::string cleaned;
    cleaned.reserve(text.size());
    bool inString = false, escaped = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == ',') {
            std::size_t next = i + 1;
            while (next < text.size() && std::isspace(static_cast<unsigned char>(text[next])))
                ++next;
            if (next < text.size() && (text[next] == '}' || text[next] == ']')) continue;
        }
        cleaned += c;
    }
    QJsonParseError error{};
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray::fromStdString(cleaned), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) return std::nullopt;
    return document.object();
}

// A number, also when written as a string.
std::optional<double> numberOf(const QJsonValue& value) {
    if (value.isDouble()) return value.toDouble();
    if (!value.isString()) return std::nullopt;
    bool ok = false;
    const double number = value.toString().trimmed().toDouble(&ok);
    return ok ? std::optional(number) : std::nullopt;
}

// "{a-b}" in a file name stands for the files numbered a to b, zero-padded when a is.
struct Variants {
    bool pattern = false;
    std::string before, after;
    unsigned from = 0, to = 0;
    std::size_t width = 0;
    std::size_t count() const { return std::size_t{to} - from + 1; }
    // The variant numbered n, built only when asked for.
    std::string name(unsigned n) const {
        std::string number = std::to_string(n);
        if (number.size() < width) number.insert(0, width - number.size(), '0');
        return before + number + after;
    }
};

// Nothing for a pattern naming more files than a pack may hold, so a hostile one builds nothing.
std::optional<Variants> variantsOf(const std::string& name) {
    const auto open = name.find('{');
    const auto close = name.find('}', open);
    const auto dash = name.find('-', open);
    if (open == std::string::npos || close == std::string::npos || dash > close) return Variants{};
    const std::string first = name.substr(open + 1, dash - open - 1);
    const std::string last = name.substr(dash + 1, close - dash - 1);
    const auto digits = [](const std::string& s) {
        return !s.empty() && s.size() <= 9 &&
               std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
    };
    if (!digits(first) || !digits(last)) return Variants{};
    Variants variants{true,
                      name.substr(0, open),
                      name.substr(close + 1),
                      static_cast<unsigned>(std::stoul(first)),
                      static_cast<unsigned>(std::stoul(last)),
                      first.size() > 1 && first.front() == '0' ? first.size() : 0};
    if (variants.from > variants.to) std::swap(variants.from, variants.to);
    if (variants.count() > kMaxPackFiles) return std::nullopt;
    variants.to = std::min(variants.to, variants.from + kMaxVariants - 1);
    return variants;
}

// config.json's "defines" by virtual key code, press and release. Several codes can name one key
// (an arrow and its keypad alias): the lowest kernel code, then the lowest pack code, wins.
struct Defines {
    std::array<std::optional<QJsonValue>, kKeyCodeCount> press, release;
};

Defines definesOf(const QJsonObject& defines, bool nullIsDefined) {
    std::map<std::tuple<bool, unsigned, unsigned>, QJsonValue> ordered;
    for (auto it = defines.begin(); it != defines.end(); ++it) {
        if (it.value().isNull() && !nullIsDefined) continue;
        QString key = it.key().trimmed();
        const bool up = key.endsWith(QLatin1String("-up"), Qt::CaseInsensitive);
        if (up) key.chop(3);
        bool ok = false;
        const unsigned code = key.toUInt(&ok, 10);
        const auto kernel = ok ? platform::kernelKeyForScancode(code) : std::nullopt;
        if (kernel) ordered.emplace(std::tuple(up, *kernel, code), it.value());
    }
    Defines result;
    for (const auto& [key, value] : ordered) {
        const auto& [up, kernel, code] = key;
        const auto virtualCode = platform::virtualKeyCodeForKernelKey(kernel);
        if (!virtualCode || *virtualCode >= kKeyCodeCount) continue;
        auto& slot = (up ? result.release : result.press)[*virtualCode];
        if (!slot) slot = value;
    }
    return result;
}

// A file name, or nothing for one no file system could hold, before any copy of it is made.
std::string textOf(const QJsonValue& value) {
    if (!value.isString()) return std::string();
    const QString text = value.toString();
    if (text.size() > PATH_MAX) return std::string();
    std::string name = text.toStdString();
    return name.size() > PATH_MAX ? std::string() : name;
}

// Each sound file once; keys naming the same file or variants share their slot.
PackTables multiPack(PackFiles& files, const QJsonObject& config, const Defines& defines,
                     bool fallbacks, platform::SoundLoader& loader,
                     const std::function<bool()>& stopped, std::size_t budgetBytes) {
    std::vector<std::string> located;
    std::map<std::string, std::size_t> fileIndex;
    std::map<std::string, std::vector<std::size_t>> filesOfName;
    // Names looked up in all, so a config.json of many patterns cannot keep the loader busy.
    std::size_t lookups = 0;
    platform::LoadBudget budget(budgetBytes, stopped);
    const auto want = [&](const std::string& name) {
        if (name.empty() || filesOfName.count(name) || budget.stopped()) return;
        auto& chosen = filesOfName[name];
        const auto add = [&](std::optional<std::string> file) {
            if (!file) return;
            auto [it, added] = fileIndex.emplace(*file, located.size());
            if (added) {
                if (located.size() >= kMaxPackFiles) {
                    fileIndex.erase(it);
                    return;
                }
                located.push_back(*file);
            }
            chosen.push_back(it->second);
        };
        // A name that is a file as written is not a pattern.
        const auto literal = relativeParts(name);
        auto whole = literal && lookups++ < kMaxLookups ? files.locate(*literal) : std::nullopt;
        const auto variants = whole ? std::nullopt : variantsOf(name);
        if (whole || !variants || !variants->pattern) return add(std::move(whole));
        for (unsigned n = variants->from; n <= variants->to && lookups < kMaxLookups; ++n) {
            if (budget.stopped()) return;
            const auto parts = relativeParts(variants->name(n));
            ++lookups;
            if (parts) add(files.locate(*parts));
        }
    };
    const std::string pressFallback = fallbacks ? textOf(config.value("sound")) : "";
    const std::string releaseFallback = fallbacks ? textOf(config.value("soundup")) : "";
    want(pressFallback);
    want(releaseFallback);
    for (const auto* table : {&defines.press, &defines.release}) {
        for (const auto& value : *table) {
            if (value) want(textOf(*value));
        }
    }

    std::vector<SoundRef> sounds(located.size());
    forEachInParallel(
        located.size(), [&](std::size_t i) { sounds[i] = files.sound(located[i], loader, budget); },
        [&] { return budget.stopped(); });

    std::map<std::string, SlotRef> slotByName;
    const auto slotOf = [&](const std::string& name) -> SlotRef {
        const auto chosen = filesOfName.find(name);
        if (chosen == filesOfName.end()) return nullptr;
        auto [it, added] = slotByName.emplace(name, nullptr);
        if (added) {
            std::vector<SoundRef> variants;
            for (const std::size_t i : chosen->second) {
                if (sounds[i]) variants.push_back(sounds[i]);
            }
            it->second = slotOfVariants(std::move(variants));
        }
        return it->second;
    };
    PackTables tables;
    tables.press.fill(slotOf(pressFallback));
    tables.release.fill(slotOf(releaseFallback));
    for (std::size_t code = 0; code < kKeyCodeCount; ++code) {
        if (defines.press[code]) tables.press[code] = slotOf(textOf(*defines.press[code]));
        if (defines.release[code]) tables.release[code] = slotOf(textOf(*defines.release[code]));
    }
    return tables;
}

// One long sound cut into slices: each distinct slice decoded once, in one pass reading the
// sprite forward, which is faster than runs on several cores each decoding from the start.
PackTables spritePack(PackFiles& files, const QJsonObject& config, const Defines& defines,
                      platform::SoundLoader& loader, const std::function<bool()>& stopped,
                      std::size_t budgetBytes) {
    PackTables tables;
    const auto parts = relativeParts(textOf(config.value("sound")));
    const auto sprite = parts ? files.locate(*parts) : std::nullopt;
    if (!sprite) return tables;

    const auto sliceOf = [](const QJsonValue& value) -> std::optional<SoundSlice> {
        const QJsonArray pair = value.toArray();
        if (pair.size() < 2) return std::nullopt;
        const auto start = numberOf(pair[0]), duration = numberOf(pair[1]);
        // Only finite numbers: NaN would not order among the slices.
        if (!start || !duration || !std::isfinite(*start) || !std::isfinite(*duration)) {
            return std::nullopt;
        }
        return SoundSlice{*start, *duration};
    };
    std::set<SoundSlice> wanted;
    for (const auto* table : {&defines.press, &defines.release}) {
        for (const auto& value : *table) {
            if (const auto slice = value ? sliceOf(*value) : std::nullopt) wanted.insert(*slice);
        }
    }
    const std::vector<SoundSlice> distinct(wanted.begin(), wanted.end());
    platform::LoadBudget budget(budgetBytes, stopped);
    const auto sounds = files.slices(*sprite, loader, distinct, budget);
    std::map<SoundSlice, SlotRef> slotBySlice;
    for (std::size_t i = 0; i < distinct.size() && i < sounds.size(); ++i) {
        if (sounds[i]) slotBySlice[distinct[i]] = slotOfVariants({sounds[i]});
    }
    for (std::size_t code = 0; code < kKeyCodeCount; ++code) {
        for (auto [value, slot] : {std::pair{&defines.press[code], &tables.press[code]},
                                   std::pair{&defines.release[code], &tables.release[code]}}) {
            const auto slice = *value ? sliceOf(**value) : std::nullopt;
            if (slice && slotBySlice.count(*slice)) *slot = slotBySlice[*slice];
        }
    }
    return tables;
}

}  // namespace

std::optional<PackTables> configJsonPackAtPath(const std::string& path,
                                               const platform::FileManager& fileManager,
                                               platform::SoundLoader& soundLoader,
                                               const std::function<bool()>& stopped,
                                               std::size_t budgetBytes) {
    // Reading and parsing config.json may take a while on a busy machine: a stop between the
    // stages ends the load.
    const auto halted = [&] { return stopped && stopped(); };
    const auto files = packFiles(path, fileManager);
    const auto text = files && !halted() ? files->config() : std::nullopt;
    const auto config = text && !halted() ? parsedConfig(*text) : std::nullopt;
    if (halted()) return std::nullopt;
    if (!config || !config->value("defines").isObject()) return std::nullopt;
    const QJsonObject defines = config->value("defines").toObject();

    const bool version2 = numberOf(config->value("version")).value_or(1) >= 2;
    const QString type = config->value("key_define_type").toString().trimmed().toLower();
    bool single = type == QLatin1String("single");
    if (type.isEmpty()) {
        single =
            std::any_of(defines.begin(), defines.end(), [](const auto& v) { return v.isArray(); });
    }
    // Version 2 falls back to "sound" for a key defined as null; version 1 leaves it silent.
    const Defines byKey = definesOf(defines, !version2 || single);
    if (single) return spritePack(*files, *config, byKey, soundLoader, stopped, budgetBytes);
    return multiPack(*files, *config, byKey, version2, soundLoader, stopped, budgetBytes);
}

}  // namespace tapsound
