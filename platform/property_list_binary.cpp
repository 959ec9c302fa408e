// Binary property lists (bplist00): a trailer, an offset table and objects that refer to each
// other by index. Every object is measured once, without recursion, before anything is built, so
// a list's work is bounded by its length however its values nest, loop or share.
#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/property_list_forms.h"

namespace tapsound::platform {

namespace {

// A list claiming more objects is refused: the measure keeps four bytes for each.
constexpr std::uint64_t kMaxObjects = 1u << 21;
// What a measure records for "deeper than any value may be", and for a value that loops back into
// itself, has a key that is no string, or cannot be read.
constexpr std::uint32_t kTooDeep = kMaxPlistDepth;

std::uint64_t bigEndian(const std::uint8_t* bytes, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value = value << 8 | bytes[i];
    return value;
}

void appendUtf8(std::uint32_t c, std::string& out) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xc0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xe0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3f));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    }
}

class BinaryReader {
  public:
    explicit BinaryReader(std::span<const std::uint8_t> bytes) : _bytes(bytes.data()) {
        _length = bytes.size();
    }
    std::optional<PlistValue> read();

  private:
    enum class Kind { Leaf, Array, Dictionary, Unreadable };
    struct Object {
        Kind kind = Kind::Unreadable;
        unsigned type = 0, low = 0;
        std::uint64_t start = 0;  // the payload, or the references: elements, or keys then values
        std::uint64_t count = 0;  // bytes, UTF-16 units, elements or entries
        std::uint64_t extent = 0;
        std::uint64_t units = 1;
        bool string = false;
    };
    enum : std::uint32_t { kNew, kOpen, kDone };
    struct Cost {
        std::uint32_t state : 2;
        std::uint32_t string : 1;
        std::uint32_t height : 6;  // levels below it, up to kTooDeep
        std::uint32_t units : 23;  // up to kMaxPlistUnits + 1
    };
    static_assert(kMaxPlistUnits + 1 < (1u << 23) && kTooDeep < 64);

    Object object(std::uint64_t index) const;
    std::uint64_t ref(const Object& o, std::uint64_t n) const {
        return bigEndian(_bytes + o.start + n * _refSize, _refSize);
    }
    bool measure(std::uint64_t index);
    PlistValue build(std::uint64_t index) const;

    const std::uint8_t* _bytes;
    std::size_t _length, _offsetSize = 0, _refSize = 0;
    std::uint64_t _objects = 0, _table = 0;
    std::vector<Cost> _cost;
    // Bytes of objects measured. Objects do not overlap in a list as written, so this stays within
    // its length; one that gives many indexes to the same bytes is refused once it passes that.
    std::uint64_t _read = 0;
};

// The object's header and extent; whatever cannot lie within the objects is unreadable.
BinaryReader::Object BinaryReader::object(std::uint64_t index) const {
    Object o;
    const std::uint64_t at = bigEndian(_bytes + _table + index * _offsetSize, _offsetSize);
    if (at < 8 || at >= _table) return o;
    o.type = _bytes[at] >> 4;
    o.low = _bytes[at] & 0x0f;
    std::uint64_t start = at + 1;
    o.count = o.low;
    const bool counted = o.type == 0x4 || o.type == 0x5 || o.type == 0x6 || o.type == 0xa ||
                         o.type == 0xc || o.type == 0xd;
    if (counted && o.low == 0x0f) {
        // The count follows as an integer of up to eight bytes.
        if (start >= _table || _bytes[start] >> 4 != 0x1 || (_bytes[start] & 0x0f) > 3) return o;
        const std::uint64_t size = std::uint64_t{1} << (_bytes[start] & 0x0f);
        if (size > _table - start - 1) return o;
        o.count = bigEndian(_bytes + start + 1, size);
        start += 1 + size;
    }
    const std::uint64_t room = _table - start;
    std::uint64_t bytes = 0;
    o.kind = Kind::Leaf;
    switch (o.type) {
        case 0x0:  // false, true
            if (o.low != 0x8 && o.low != 0x9) return {};
            break;
        case 0x1:  // integer
            if (o.low > 4) return {};
            bytes = std::uint64_t{1} << o.low;
            break;
        case 0x2:  // real
            if (o.low != 2 && o.low != 3) return {};
            bytes = std::uint64_t{1} << o.low;
            break;
        case 0x3:  // date
            if (o.low != 3) return {};
            bytes = 8;
            break;
        case 0x4:  // data
        case 0x5:  // ASCII
            bytes = o.count;
            o.units = plistTextUnits(o.count);
            o.string = o.type == 0x5;
            break;
        case 0x6:  // UTF-16
            if (o.count > room / 2) return {};
            bytes = 2 * o.count;
            o.units = plistTextUnits(3 * o.count);  // as UTF-8
            o.string = true;
            break;
        case 0xa:  // array
        case 0xc:  // set, read as an array
        case 0xd:  // dictionary
            if (o.count > room / _refSize / (o.type == 0xd ? 2 : 1)) return {};
            o.kind = o.type == 0xd ? Kind::Dictionary : Kind::Array;
            bytes = o.count * _refSize * (o.type == 0xd ? 2 : 1);
            break;
        default:  // UIDs and anything unknown are not held
            return {};
    }
    if (bytes > room) return {};
    o.start = start;
    o.extent = start - at + bytes;
    return o;
}

// Measures the value at `index` and everything below it that is not measured yet, depth first
// along an explicit path no deeper than a value may be. False once the list proves to read its
// bytes more than once.
bool BinaryReader::measure(std::uint64_t index) {
    if (_cost[index].state != kNew) return true;
    struct Frame {
        std::uint64_t index;
        Object object;
        std::uint64_t next = 0, units = 1;
        std::uint32_t height = 0;
    };
    std::vector<Frame> path;
    const auto done = [&](std::uint64_t i, bool string, std::uint64_t units, std::uint32_t height) {
        _cost[i] = {kDone, string, std::min(height, kTooDeep),
                    static_cast<std::uint32_t>(std::min(units, kMaxPlistUnits + 1))};
    };
    const auto fold = [](Frame& f, const Cost& child) {
        f.height = std::max<std::uint32_t>(f.height, child.height + 1);
        f.units += child.units;
    };
    // A leaf is measured at once; a list goes on the path, unless it would lie too deep to be kept.
    const auto visit = [&](std::uint64_t i) {
        const Object o = object(i);
        _read += o.extent;
        if (o.kind == Kind::Leaf) {
            done(i, o.string, o.units, 0);
        } else if (o.kind == Kind::Unreadable || path.size() >= kTooDeep) {
            done(i, false, 1, kTooDeep);
        } else {
            _cost[i].state = kOpen;
            path.push_back({i, o});
        }
    };
    visit(index);
    while (!path.empty()) {
        if (_read > _length) return false;
        Frame& f = path.back();
        const bool keyed = f.object.kind == Kind::Dictionary;
        const std::uint64_t refs = f.object.count * (keyed ? 2 : 1);
        if (f.next == refs || f.height >= kTooDeep || f.units > kMaxPlistUnits) {
            const Frame finished = f;
            path.pop_back();
            done(finished.index, false, finished.units, finished.height);
            if (!path.empty()) fold(path.back(), _cost[finished.index]);
            continue;
        }
        const std::uint64_t child = ref(f.object, f.next);
        const bool asKey = keyed && f.next < f.object.count;
        ++f.next;
        if (child >= _objects || _cost[child].state == kOpen) {
            f.height = kTooDeep;
            continue;
        }
        if (_cost[child].state == kNew) visit(child);
        if (_cost[child].state != kDone) continue;
        if (asKey && !_cost[child].string) f.height = kTooDeep;
        fold(f, _cost[child]);
    }
    return _read <= _length;
}

// The value at `index`, measured to fit: no deeper than allowed and within the units it was paid.
PlistValue BinaryReader::build(std::uint64_t index) const {
    const Object o = object(index);
    const std::uint8_t* p = _bytes + o.start;
    if (o.kind == Kind::Array || o.kind == Kind::Dictionary) {
        if (o.kind == Kind::Array) {
            PlistArray items;
            items.reserve(o.count);
            for (std::uint64_t i = 0; i < o.count; ++i) items.push_back(build(ref(o, i)));
            return PlistValue::array(std::move(items));
        }
        PlistDictionary entries;
        for (std::uint64_t i = 0; i < o.count; ++i) {
            entries.insert_or_assign(build(ref(o, i)).stringValue(), build(ref(o, o.count + i)));
        }
        return PlistValue::dictionary(std::move(entries));
    }
    switch (o.type) {
        case 0x0:
            return PlistValue::boolean(o.low == 0x9);
        case 0x1: {
            // One, two and four bytes are unsigned; eight are signed; of sixteen, the low eight.
            const std::size_t size = std::size_t{1} << o.low;
            const std::size_t kept = std::min<std::size_t>(size, 8);
            return PlistValue::integer(
                static_cast<std::int64_t>(bigEndian(p + size - kept, kept)));
        }
        case 0x2:
        case 0x3: {
            const std::uint64_t bits = bigEndian(p, std::size_t{1} << o.low);
            double value = 0;
            if (o.low == 2) {
                float single = 0;
                const auto narrow = static_cast<std::uint32_t>(bits);
                std::memcpy(&single, &narrow, sizeof single);
                value = single;
            } else {
                std::memcpy(&value, &bits, sizeof value);
            }
            return o.type == 0x2 ? PlistValue::real(value) : PlistValue::date(value);
        }
        case 0x4:
            return PlistValue::data(PlistData(p, p + o.count));
        case 0x5:
            return PlistValue::string(std::string(reinterpret_cast<const char*>(p), o.count));
        default: {
            // UTF-16, big-endian; a lone surrogate reads as U+FFFD.
            std::string text;
            text.reserve(o.count);
            for (std::uint64_t i = 0; i < o.count; ++i) {
                std::uint32_t c = bigEndian(p + 2 * i, 2);
                if (c >= 0xd800 && c < 0xdc00 && i + 1 < o.count) {
                    const std::uint32_t low = bigEndian(p + 2 * i + 2, 2);
                    if (low >= 0xdc00 && low < 0xe000) {
                        c = 0x10000 + ((c - 0xd800) << 10) + (low - 0xdc00);
                        ++i;
                    }
                }
                appendUtf8(c >= 0xd800 && c < 0xe000 ? 0xfffd : c, text);
            }
            return PlistValue::string(std::move(text));
        }
    }
}

std::optional<PlistValue> BinaryReader::read() {
    constexpr std::size_t kHeader = 8, kTrailer = 32;
    if (_length < kHeader + kTrailer || std::memcmp(_bytes, "bplist00", kHeader) != 0) return {};
    const std::uint8_t* trailer = _bytes + _length - kTrailer;
    const std::uint64_t end = _length - kTrailer;
    _offsetSize = trailer[6];
    _refSize = trailer[7];
    _objects = bigEndian(trailer + 8, 8);
    const std::uint64_t root = bigEndian(trailer + 16, 8);
    _table = bigEndian(trailer + 24, 8);
    if (_offsetSize < 1 || _offsetSize > 8 || _refSize < 1 || _refSize > 8 || _objects == 0 ||
        _objects > kMaxObjects || root >= _objects || _table < kHeader || _table > end ||
        _objects * _offsetSize > end - _table) {
        return {};
    }
    _cost.assign(_objects, Cost{kNew, 0, 0, 0});
    const Object top = object(root);
    if (top.kind != Kind::Array && top.kind != Kind::Dictionary) {
        if (!measure(root)) return {};
        const Cost cost = _cost[root];
        if (cost.height >= kTooDeep || cost.units > kMaxPlistUnits) return {};
        return build(root);
    }
    const bool keyed = top.kind == Kind::Dictionary;
    _read += top.extent;
    _cost[root].state = kOpen;  // the root within itself loops
    PlistRootBudget budget(top.count, keyed);
    if (!budget.affordable()) return {};
    PlistArray items;
    PlistDictionary entries;
    for (std::uint64_t i = 0; i < top.count; ++i) {
        const std::uint64_t key = keyed ? ref(top, i) : 0;
        const std::uint64_t value = ref(top, keyed ? top.count + i : i);
        std::uint64_t keyUnits = 0;
        if (keyed) {
            if (key >= _objects || !measure(key)) return std::nullopt;
            // A key that is no string, or loops, costs what is left, and is left out.
            const Cost cost = _cost[key];
            keyUnits = cost.state == kDone && cost.string ? cost.units : kMaxPlistUnits;
        }
        if (value < _objects && !measure(value)) return std::nullopt;
        const Cost cost = value < _objects ? _cost[value] : Cost{kOpen, 0, kTooDeep, 1};
        const bool readable = cost.state == kDone && 1 + cost.height <= kMaxPlistDepth;
        const auto fate = budget.take(keyUnits, cost.units, readable);
        if (fate == PlistRootBudget::Fate::Omit) continue;
        PlistValue kept = fate == PlistRootBudget::Fate::Keep ? build(value) : PlistValue::data({});
        if (keyed) {
            entries.insert_or_assign(build(key).stringValue(), std::move(kept));
        } else {
            items.push_back(std::move(kept));
        }
    }
    return keyed ? PlistValue::dictionary(std::move(entries)) : PlistValue::array(std::move(items));
}

}  // namespace

std::optional<PlistValue> readBinaryPropertyList(std::span<const std::uint8_t> bytes) {
    return BinaryReader(bytes).read();
}

}  // namespace tapsound::platform
