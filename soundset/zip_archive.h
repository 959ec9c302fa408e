#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct zip;

namespace tapsound {

namespace platform {
class LoadBudget;
}

// Bounds on what one archive may unpack into memory, so a zip bomb ends as missing sounds.
struct ZipLimits {
    std::size_t entryBytes = std::size_t{128} << 20;  // a ten-minute sprite as 16-bit WAV fits
    // Twice the largest entry: what a pack holds besides its sprite is small.
    std::size_t totalBytes = std::size_t{256} << 20;
    std::size_t entries = 65536;
};

// A zip archive read in place, nothing extracted to disk. Names use "/" whatever the archive
// wrote; entries with absolute or ".." paths are left out, so nothing can name them.
class ZipArchive {
  public:
    // Nothing when the path is not a regular file holding a readable zip archive.
    static std::unique_ptr<ZipArchive> open(const std::string& path, const ZipLimits& limits = {});
    ~ZipArchive();
    ZipArchive(const ZipArchive&) = delete;
    ZipArchive& operator=(const ZipArchive&) = delete;

    // The usable entries' names, in archive order.
    const std::vector<std::string>& names() const { return _names; }
    // An entry by name: the exact name, or else one differing only in case.
    std::optional<std::size_t> find(const std::string& name) const;
    // An entry's bytes; nothing when it cannot be read, is larger than `maxBytes` or the entry
    // limit, or would take the archive past its total. Safe from several threads at once. With a
    // budget, the bytes' memory is taken from it as they are inflated (the result's capacity stays
    // taken, for the caller to give back), and a stop ends the read within a chunk.
    std::optional<std::vector<std::uint8_t>> read(std::size_t entry,
                                                  std::size_t maxBytes = SIZE_MAX,
                                                  platform::LoadBudget* budget = nullptr);

  private:
    ZipArchive(zip* archive, const ZipLimits& limits);

    zip* _zip;
    const ZipLimits _limits;
    std::vector<std::string> _names;
    std::vector<std::uint64_t> _indices;
    std::map<std::string, std::size_t> _exact, _folded;
    std::mutex _mutex;  // libzip reads one entry at a time per archive
    std::size_t _unpacked = 0;
};

// The name as compared regardless of case.
std::string caseFolded(const std::string& name);

}  // namespace tapsound
