#include "soundset/zip_archive.h"


#include <unistd.h>
#include <zip.h>

#include <QString>
#include <algorithm>
#include <type_traits>

#include "platform/file_manager_posix.h"
#include "platform/shared_library.h"
#include "platform/sound.h"

namespace tapsound {

namespace {

// libzip, and the libcrypto it brings, mapped only once a zip pack is opened: most sessions never
// open one, and their relocated pages alone are 0.4 MB of private memory for the program's life.
struct LibZip {
    decltype(&zip_fdopen) fdopen = nullptr;
    decltype(&zip_get_num_entries) getNumEntries = nullptr;
    decltype(&zip_get_name) getName = nullptr;
    decltype(&zip_discard) discard = nullptr;
    decltype(&zip_stat_init) statInit = nullptr;
    decltype(&zip_stat_index) statIndex = nullptr;
    decltype(&zip_fopen_index) fopenIndex = nullptr;
    decltype(&zip_fread) fread = nullptr;
    decltype(&zip_fclose) fclose = nullptr;
};

// Nothing when the library cannot be loaded: zip packs then hold no sound.
const LibZip* libzip() {
    static const LibZip* const loaded = []() -> const LibZip* {
        platform::SharedLibrary library(TAPSOUND_LIBZIP_SONAME);
        static LibZip api;
        library.bind(api.fdopen, "zip_fdopen");
        library.bind(api.getNumEntries, "zip_get_num_entries");
        library.bind(api.getName, "zip_get_name");
        library.bind(api.discard, "zip_discard");
        library.bind(api.statInit, "zip_stat_init");
        library.bind(api.statIndex, "zip_stat_index");
        library.bind(api.fopenIndex, "zip_fopen_index");
        library.bind(api.fread, "zip_fread");
        library.bind(api.fclose, "zip_fclose");
        return library.usable() ? &api : nullptr;
    }();
    return loaded;
}

// An entry name with "/" between parts; nothing for one that is absolute or climbs out.
std::optional<std::string> safeName(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    if (name.empty() || name.front() == '/' || (name.size() >= 2 && name[1] == ':')) {
        return std::nullopt;
    }
    for (std::size_t start = 0; start <= name.size();) {
        const auto end = std::min(name.find('/', start), name.size());
        if (name.compare(start, end - start, "..") == 0) return std::nullopt;
        start = end + 1;
    }
    return name;
}

}  // namespace

std::string caseFolded(const std::string& name) {
    return QString::fromStdString(name).toCaseFolded().toStdString();
}

std::unique_ptr<ZipArchive> ZipArchive::open(const std::string& path, const ZipLimits& limits) {
    const LibZip* const api = libzip();
    if (!api) return nullptr;
    const int fd = platform::openRegularFile(path);
    if (fd < 0) return nullptr;
    int error = 0;
    zip_t* archive = api->fdopen(fd, ZIP_RDONLY, &error);
    if (!archive) {
        ::close(fd);
        return nullptr;
    }
    const zip_int64_t count = api->getNumEntries(archive, 0);
    if (count < 0 || static_cast<std::uint64_t>(count) > limits.entries) {
        api->discard(archive);
        return nullptr;
    }
    return std::unique_ptr<ZipArchive>(new ZipArchive(archive, limits));
}

ZipArchive::ZipArchive(zip* archive, const ZipLimits& limits) : _zip(archive), _limits(limits) {
    const auto count = static_cast<zip_uint64_t>(libzip()->getNumEntries(_zip, 0));
    for (zip_uint64_t i = 0; i < count; ++i) {
        const char* raw = libzip()->getName(_zip, i, ZIP_FL_ENC_GUESS);
        auto name = raw ? safeName(raw) : std::nullopt;
        if (!name) continue;
        _exact.emplace(*name, _names.size());
        _folded.emplace(caseFolded(*name), _names.size());
        _names.push_back(std::move(*name));
        _indices.push_back(i);
    }
}

ZipArchive::~ZipArchive() { libzip()->discard(_zip); }

std::optional<std::size_t> ZipArchive::find(const std::string& name) const {
    if (const auto exact = _exact.find(name); exact != _exact.end()) return exact->second;
    if (const auto folded = _folded.find(caseFolded(name)); folded != _folded.end()) {
        return folded->second;
    }
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> ZipArchive::read(std::size_t entry, std::size_t maxBytes,
                                                          platform::LoadBudget* budget) {
    if (entry >= _indices.size()) return std::nullopt;
    const std::size_t limit = std::min(maxBytes, _limits.entryBytes);
    const std::lock_guard lock(_mutex);
    const LibZip& api = *libzip();
    zip_stat_t stat;
    api.statInit(&stat);
    if (api.statIndex(_zip, _indices[entry], 0, &stat) != 0) return std::nullopt;
    // The stated size is only a claim: the read below stops at the limit whatever it says. A claim
    // past the limit, or past what is left of the archive's total, is refused before inflating.
    if ((stat.valid & ZIP_STAT_SIZE) &&
        (stat.size > limit || stat.size > _limits.totalBytes - _unpacked)) {
        return std::nullopt;
    }
    zip_file_t* file = api.fopenIndex(_zip, _indices[entry], 0);
    if (!file) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    std::size_t taken = 0;
    // Capacity is what the budget pays for, grown ahead of the bytes it is to hold.
    const auto afford = [&](std::size_t size) {
        if (size <= bytes.capacity()) return true;
        const std::size_t grown = std::max(size, std::min(limit, bytes.capacity() * 3 / 2));
        if (budget && (budget->stopped() || !budget->take(grown - bytes.capacity()))) return false;
        taken += grown - bytes.capacity();
        bytes.reserve(grown);
        return true;
    };
    bool fits = !(stat.valid & ZIP_STAT_SIZE) || afford(static_cast<std::size_t>(stat.size));
    std::uint8_t chunk[65536];
    while (fits && !(budget && budget->stopped())) {
        // Inflated in place while there is room; past it, a chunk aside tells whether more follows.
        const std::size_t at = bytes.size();
        const std::size_t room = std::min(bytes.capacity() - at, sizeof chunk);
        if (room > 0) bytes.resize(at + room);
        const zip_int64_t got =
            api.fread(file, room > 0 ? bytes.data() + at : chunk, room > 0 ? room : sizeof chunk);
        if (room > 0) bytes.resize(at + static_cast<std::size_t>(std::max<zip_int64_t>(got, 0)));
        if (got < 0) fits = false;
        if (got <= 0) break;
        const auto n = static_cast<std::size_t>(got);
        if (at + n > limit || _unpacked + n > _limits.totalBytes || !afford(at + n)) {
            fits = false;
            break;
        }
        _unpacked += n;
        if (room == 0) bytes.insert(bytes.end(), chunk, chunk + n);
    }
    api.fclose(file);
    if (budget && budget->stopped()) fits = false;
    if (!fits) {
        if (budget) budget->giveBack(taken);
        return std::nullopt;
    }
    return bytes;
}

}  // namespace tapsound
