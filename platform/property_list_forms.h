#pragma once

// What the readers of each property-list form share: the limits that keep any list within bounded
// time and memory, and how the root's entries divide them.

#include <cstdint>
#include <optional>
#include <span>

#include "platform/property_list.h"

namespace tapsound::platform {

inline constexpr std::size_t kMaxPropertyListBytes = 16u << 20;
// Qt's XML reader keeps some 500 bytes for each open element and twice the text as UTF-16, so
// XML is held to less; a soundset.plist is tens of kilobytes.
inline constexpr std::size_t kMaxXmlPropertyListBytes = 2u << 20;
// Levels below the root; a soundset uses three (a list, a pair, its weight).
inline constexpr int kMaxPlistDepth = 32;
// Each value reached costs a unit, a shared one each time it is reached, since our copy holds it
// that often; a string, key or data costs one more per kPlistBytesPerUnit bytes.
inline constexpr std::uint64_t kMaxPlistUnits = 1u << 16;
inline constexpr std::uint64_t kPlistBytesPerUnit = 64;

inline std::uint64_t plistTextUnits(std::uint64_t bytes) { return 1 + bytes / kPlistBytesPerUnit; }

// Each entry of the root (a key and its value, or an element) is kept whole or dropped alone: a
// value too deep, unreadable or over what is left of the budget becomes empty data, and an entry
// whose key cannot be afforded is left out. Every later entry is promised what a dropped one
// costs, so an early large value cannot push out the "*" default.
class PlistRootBudget {
  public:
    enum class Fate { Keep, Drop, Omit };
    PlistRootBudget(std::uint64_t entries, bool keyed)
        : _entries(entries), _perEntry(keyed ? 2 : 1), _keyed(keyed) {}
    bool affordable() const { return _entries < kMaxPlistUnits / _perEntry; }
    // What the next entry may spend, its key included.
    std::uint64_t available() const { return _left - _perEntry * (_entries - 1 - _taken); }
    Fate take(std::uint64_t keyUnits, std::uint64_t valueUnits, bool valueReadable) {
        const std::uint64_t room = available();
        const std::uint64_t key = _keyed ? keyUnits : 0;
        ++_taken;
        if (_keyed && key + 1 > room) {
            _left -= _perEntry;
            return Fate::Omit;
        }
        const bool keep = valueReadable && valueUnits <= room - key;
        _left -= std::max(key + (keep ? valueUnits : 1), _perEntry);
        return keep ? Fate::Keep : Fate::Drop;
    }

  private:
    std::uint64_t _entries, _perEntry;
    bool _keyed;
    std::uint64_t _left = kMaxPlistUnits - 1, _taken = 0;
};

// Nothing when the bytes are not a list of that form at all.
std::optional<PlistValue> readXmlPropertyList(std::span<const std::uint8_t> bytes);
std::optional<PlistValue> readBinaryPropertyList(std::span<const std::uint8_t> bytes);

}  // namespace tapsound::platform
