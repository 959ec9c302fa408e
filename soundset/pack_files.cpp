#include "soundset/pack_files.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QJsonDocument>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <set>

#include "platform/file_manager_posix.h"
#include "platform/virtual_keys.h"
#include "soundset/pack_tables.h"
#include "soundset/sound_scan.h"
#include "soundset/zip_archive.h"

namespace tapsound {

using platform::SoundSlice;

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

namespace {

class FolderFiles : public PackFiles {
  public:
    FolderFiles(std::string folder, const platform::FileManager& files, std::string marker)
        : _folder(std::move(folder)), _files(files), _marker(std::move(marker)) {}

    std::optional<std::string> config() override {
        const auto path = locate({_marker});
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
    const std::string _marker;
    std::map<std::string, std::map<std::string, std::string>> _listings;
};

class ArchiveFiles : public PackFiles {
  public:
    ArchiveFiles(std::unique_ptr<ZipArchive> archive, std::string top, std::string marker)
        : _archive(std::move(archive)), _top(std::move(top)), _marker(std::move(marker)) {}

    std::optional<std::string> config() override {
        const auto entry = _archive->find(_top + _marker);
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
    const std::string _marker;
};

bool isJunk(const std::string& name) {
    return name.rfind("__MACOSX/", 0) == 0 || name.front() == '.';
}

// The archive's files, when it holds the marker at its root or inside its one top folder.
std::unique_ptr<PackFiles> archiveFiles(const std::string& path, const std::string& marker) {
    auto archive = ZipArchive::open(path);
    if (!archive) return nullptr;
    if (archive->find(marker))
        return std::make_unique<ArchiveFiles>(std::move(archive), "", marker);
    std::string top;
    for (const std::string& name : archive->names()) {
        if (isJunk(name)) continue;
        const auto slash = name.find('/');
        if (slash == std::string::npos) return nullptr;  // a file at the root beside the folder
        const std::string folder = name.substr(0, slash + 1);
        if (!top.empty() && folder != top) return nullptr;
        top = folder;
    }
    if (top.empty() || !archive->find(top + marker)) return nullptr;
    return std::make_unique<ArchiveFiles>(std::move(archive), top, marker);
}

}  // namespace

std::unique_ptr<PackFiles> packFiles(const std::string& location,
                                     const platform::FileManager& fileManager,
                                     const std::string& marker) {
    std::string path = location;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    bool isDirectory = false;
    if (!fileManager.fileExistsAtPath(path, &isDirectory)) return nullptr;
    if (isDirectory) {
        return std::make_unique<FolderFiles>(path == "/" ? "" : path, fileManager, marker);
    }
    // The marker itself chosen in the open dialog stands for its folder.
    const auto slash = path.rfind('/');
    if (slash != std::string::npos && caseFolded(path.substr(slash + 1)) == marker) {
        return std::make_unique<FolderFiles>(path.substr(0, slash), fileManager, marker);
    }
    return archiveFiles(path, marker);
}

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

std::optional<double> numberOf(const QJsonValue& value) {
    if (value.isDouble()) return value.toDouble();
    if (!value.isString()) return std::nullopt;
    bool ok = false;
    const double number = value.toString().trimmed().toDouble(&ok);
    return ok ? std::optional(number) : std::nullopt;
}

std::string textOf(const QJsonValue& value) {
    if (!value.isString()) return std::string();
    const QString text = value.toString();
    if (text.size() > PATH_MAX) return std::string();
    std::string name = text.toStdString();
    return name.size() > PATH_MAX ? std::string() : name;
}

float packVolume(std::optional<double> volume) {
    return volume && std::isfinite(*volume) ? static_cast<float>(std::clamp(*volume, 0.0, 2.0))
                                            : 1.0f;
}

SlotRef* slotOfKernelCode(PackTables& tables, unsigned code, bool released) {
    if (const auto button = mouseButtonForKernelCode(code)) {
        return &(released ? tables.buttonRelease : tables.buttonPress)[std::size_t(*button)];
    }
    const auto virtualCode = platform::virtualKeyCodeForKernelKey(code);
    if (!virtualCode || *virtualCode >= kKeyCodeCount) return nullptr;
    return &(released ? tables.release : tables.press)[*virtualCode];
}

std::optional<std::string> packConfig(PackFiles* files, const std::function<bool()>& stopped) {
    if (!files || (stopped && stopped())) return std::nullopt;
    auto text = files->config();
    if (stopped && stopped()) return std::nullopt;
    return text;
}

std::optional<std::size_t> PackSounds::fileOf(const std::string& name) {
    if (name.empty()) return std::nullopt;
    auto [it, added] = _byName.emplace(name, std::nullopt);
    if (!added || _lookups >= kMaxLookups) return it->second;
    ++_lookups;
    const auto parts = relativeParts(name);
    const auto file = parts ? _files.locate(*parts) : std::nullopt;
    if (!file) return std::nullopt;
    if (const auto known = _indexOf.find(*file); known != _indexOf.end()) {
        it->second = known->second;
    } else if (_located.size() < kMaxPackFiles) {
        it->second = _indexOf[*file] = _located.size();
        _located.push_back(*file);
    }
    return it->second;
}

void PackSounds::wantFiles(SlotRef& slot, const std::vector<std::string>& names) {
    std::vector<Source> sources;
    for (const std::string& name : names) {
        if (sources.size() >= kMaxVariants) break;
        if (const auto file = fileOf(name)) sources.push_back({*file, std::nullopt});
    }
    _wanted.emplace_back(&slot, std::move(sources));
}

void PackSounds::wantSlices(SlotRef& slot, const std::string& name,
                            const std::vector<platform::SoundSlice>& slices) {
    std::vector<Source> sources;
    const auto file = fileOf(name);
    for (const auto& slice : slices) {
        // Only finite numbers: NaN would not order among the slices.
        if (!file || sources.size() >= kMaxVariants) break;
        if (std::isfinite(slice.startMs) && std::isfinite(slice.durationMs)) {
            sources.push_back({*file, slice});
        }
    }
    _wanted.emplace_back(&slot, std::move(sources));
}

void PackSounds::decode(platform::SoundLoader& loader, const std::function<bool()>& stopped,
                        std::size_t budgetBytes) {
    // Whole files by file; slices by file, each file's read once, forward, for all its slices.
    std::vector<bool> whole(_located.size());
    std::vector<std::set<platform::SoundSlice>> sliced(_located.size());
    for (const auto& [slot, sources] : _wanted) {
        for (const Source& source : sources) {
            if (source.slice) {
                sliced[source.file].insert(*source.slice);
            } else {
                whole[source.file] = true;
            }
        }
    }
    platform::LoadBudget budget(budgetBytes, stopped);
    std::vector<SoundRef> sounds(_located.size());
    std::vector<std::map<platform::SoundSlice, SoundRef>> slices(_located.size());
    forEachInParallel(
        _located.size(),
        [&](std::size_t i) {
            if (whole[i]) sounds[i] = _files.sound(_located[i], loader, budget);
            if (sliced[i].empty()) return;
            const std::vector<platform::SoundSlice> wanted(sliced[i].begin(), sliced[i].end());
            const auto cut = _files.slices(_located[i], loader, wanted, budget);
            for (std::size_t k = 0; k < wanted.size() && k < cut.size(); ++k) {
                slices[i].emplace(wanted[k], cut[k]);
            }
        },
        [&] { return budget.stopped(); });
    const auto soundOf = [&](const Source& source) -> SoundRef {
        if (!source.slice) return sounds[source.file];
        const auto found = slices[source.file].find(*source.slice);
        return found == slices[source.file].end() ? nullptr : found->second;
    };
    std::map<std::vector<Source>, SlotRef> slotOf;
    for (const auto& [slot, sources] : _wanted) {
        auto [it, added] = slotOf.emplace(sources, nullptr);
        if (added) {
            std::vector<SoundRef> variants;
            for (const Source& source : sources) {
                if (SoundRef sound = soundOf(source)) variants.push_back(std::move(sound));
            }
            it->second = slotOfVariants(std::move(variants));
        }
        *slot = it->second;
    }
}

}  // namespace tapsound
