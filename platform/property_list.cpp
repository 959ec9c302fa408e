#include "platform/property_list.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/file_manager_posix.h"

namespace tapsound::platform {

namespace {

// What a property list may hold, so that any file up to kMaxFileBytes reads in bounded time and
// memory however its values are nested or shared. Sound-set descriptions use a sliver of this.
constexpr std::size_t kMaxFileBytes = 16u << 20;
// Levels below the root; a soundset uses three (a list, a pair, its weight). libplist recurses
// once per level and compares each value it reads with every level above it.
constexpr int kMaxDepth = 32;
// Each value reached costs a unit, a shared one each time it is reached, since libplist and our
// copy hold it that often; a string, key or data costs one more per kBytesPerUnit bytes.
constexpr std::uint64_t kMaxUnits = 1u << 16;
constexpr std::uint64_t kBytesPerUnit = 64;
// A binary list claiming more objects is refused: the check keeps four bytes for each, and so
// many can only be reached by values the budget drops.
constexpr std::uint64_t kMaxObjects = 1u << 21;

const std::string kEmptyString;
const PlistArray kEmptyArray;
const PlistDictionary kEmptyDictionary;
const PlistData kEmptyData;

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistHandle = std::unique_ptr<void, PlistFree>;

std::uint64_t textUnits(std::uint64_t bytes) { return 1 + bytes / kBytesPerUnit; }

std::uint64_t bigEndian(const std::uint8_t* bytes, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value = value << 8 | bytes[i];
    return value;
}

enum class Fate { Keep, Drop, Omit };

// Each entry of the root (a key and its value, or an element) is kept whole or dropped alone: a
// value too deep, unreadable or over what is left of the budget becomes a placeholder, and an
// entry whose key cannot be read or afforded is left out. Every later entry is promised what a
// dropped one costs, so an early large value cannot push out the "*" default; what an entry may
// spend never grows from one entry to the next.
class RootBudget {
  public:
    RootBudget(std::uint64_t entries, bool keyed)
        : _entries(entries), _perEntry(keyed ? 2 : 1), _keyed(keyed) {}
    bool affordable() const { return _entries < kMaxUnits / _perEntry; }
    // What the next entry may spend, its key included.
    std::uint64_t available() const { return _left - _perEntry * (_entries - 1 - _taken); }
    Fate take(std::uint64_t keyUnits, bool keyReadable, std::uint64_t valueUnits,
              bool valueReadable) {
        const std::uint64_t room = available();
        const std::uint64_t key = _keyed ? keyUnits : 0;
        ++_taken;
        if (_keyed && (!keyReadable || key + 1 > room)) {
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
    std::uint64_t _left = kMaxUnits - 1, _taken = 0;
};

// A binary list's object graph, checked without recursion before libplist walks it: libplist
// recurses once per level and copies a shared object each time it is reached. When the whole
// does not fit, the root is rebuilt in a copy with each entry kept or dropped alone.
class BinaryList {
  public:
    // False when the trailer or the offset table cannot be read, which libplist refuses too.
    bool open(const std::uint8_t* bytes, std::size_t length);
    // False when not even the root fits; `rebuilt` stays empty when the list fits as it is.
    bool check(std::vector<std::uint8_t>& rebuilt);

  private:
    enum class Kind { Leaf, Array, Dictionary, Unreadable };
    struct Object {
        Kind kind = Kind::Unreadable;
        std::uint64_t refs = 0;   // where the references start: elements, or keys then values
        std::uint64_t count = 0;  // elements or entries
        std::uint64_t units = 1;
        bool key = false;  // a string libplist can take as a key: it aborts on a NUL in one
    };
    enum : std::uint32_t { kNew, kOpen, kDone };
    static constexpr std::uint32_t kTooDeep = 0xff;
    // What a value costs, found once however often it is reached. Units stop at one more than the
    // cap it was explored with; caps only shrink, so that still means "more than any later cap".
    // Levels below it are counted from where it was first met; kTooDeep also marks a value that
    // loops back into itself or holds something libplist cannot read.
    struct Seen {
        std::uint32_t state : 2;
        std::uint32_t key : 1;
        std::uint32_t height : 8;
        std::uint32_t units : 21;
    };
    static_assert(kMaxUnits < (1u << 21) - 1 && kMaxDepth < static_cast<int>(kTooDeep));

    Object object(std::uint64_t index);
    std::uint64_t ref(std::uint64_t at) const { return bigEndian(_bytes + at, _refSize); }
    void explore(std::uint64_t start, int level, std::uint64_t cap);
    void rebuild(bool keyed, const std::vector<std::uint64_t>& keys,
                 const std::vector<std::uint64_t>& values, std::vector<std::uint8_t>& out) const;

    const std::uint8_t* _bytes = nullptr;
    std::size_t _offsetSize = 0, _refSize = 0;
    std::uint64_t _objects = 0, _root = 0, _table = 0;
    std::vector<Seen> _seen;
    // Bytes of objects read. Each object is read once, so a list stays within its length; only
    // objects that share or overlap their bytes could make the check read them again and again,
    // and such a list is refused once it passes that.
    std::uint64_t _read = 0, _readLimit = 0;
};

bool BinaryList::open(const std::uint8_t* bytes, std::size_t length) {
    constexpr std::size_t kHeader = 8, kTrailer = 32;
    if (length < kHeader + kTrailer) return false;
    const std::uint8_t* trailer = bytes + length - kTrailer;
    const std::uint64_t end = length - kTrailer;
    _bytes = bytes;
    _offsetSize = trailer[6];
    _refSize = trailer[7];
    _objects = bigEndian(trailer + 8, 8);
    _root = bigEndian(trailer + 16, 8);
    _table = bigEndian(trailer + 24, 8);
    if (_offsetSize < 1 || _offsetSize > 8 || _refSize < 1 || _refSize > 8 || _objects == 0 ||
        _objects > kMaxObjects || _root >= _objects || _table < kHeader || _table > end ||
        _objects * _offsetSize > end - _table) {
        return false;
    }
    _seen.assign(_objects, Seen{});
    _readLimit = length;
    return true;
}

// The object's header, read as libplist reads it; whatever libplist would refuse is unreadable.
BinaryList::Object BinaryList::object(std::uint64_t index) {
    Object o;
    const std::uint64_t at = bigEndian(_bytes + _table + index * _offsetSize, _offsetSize);
    if (at >= _table) return o;
    const std::uint8_t marker = _bytes[at];
    const unsigned type = marker >> 4, low = marker & 0x0f;
    std::uint64_t count = low, start = at + 1;
    const bool counted =
        type == 0x4 || type == 0x5 || type == 0x6 || type == 0xa || type == 0xc || type == 0xd;
    if (counted && low == 0x0f) {
        // The count follows as an integer; libplist reads the last eight bytes of a longer one.
        if (start >= _table || _bytes[start] >> 4 != 0x1 || (_bytes[start] & 0x0f) > 4) return o;
        const std::uint64_t size = std::uint64_t{1} << (_bytes[start] & 0x0f);
        if (size > _table - start - 1) return o;
        count = bigEndian(_bytes + start + 1 + (size > 8 ? size - 8 : 0),
                          std::min<std::uint64_t>(size, 8));
        start += 1 + size;
    }
    const std::uint64_t room = _table - start;
    std::uint64_t bytes = 0;
    switch (type) {
        case 0x0:  // false, true
            if (marker != 0x08 && marker != 0x09) return o;
            break;
        case 0x1:  // integer
        case 0x2:  // real
            if (type == 0x1 ? low > 4 : low != 2 && low != 3) return o;
            bytes = std::uint64_t{1} << low;
            break;
        case 0x3:  // date
            if (low != 3) return o;
            bytes = 8;
            break;
        case 0x8:  // UID
            bytes = low + 1;
            break;
        case 0x4:  // data
        case 0x5:  // ASCII
            bytes = count;
            break;
        case 0x6:  // UTF-16
            if (count > room / 2) return o;
            bytes = 2 * count;
            break;
        case 0xa:  // array
        case 0xc:  // set, which libplist reads as an array
        case 0xd:  // dictionary
            if (count > room / _refSize / (type == 0xd ? 2 : 1)) return o;
            _read += start - at;
            o.kind = type == 0xd ? Kind::Dictionary : Kind::Array;
            o.refs = start;
            o.count = count;
            return o;
        default:
            return o;
    }
    if (bytes > room) return o;
    _read += start - at + bytes;
    o.kind = Kind::Leaf;
    const std::uint8_t* text = _bytes + start;
    if (type == 0x4 || type == 0x5) o.units = textUnits(count);
    if (type == 0x6) o.units = textUnits(3 * count);  // as UTF-8
    if (type == 0x5) o.key = !std::memchr(text, 0, count);
    if (type == 0x6) {
        o.key = true;
        for (std::uint64_t u = 0; u < count && o.key; ++u) o.key = text[2 * u] || text[2 * u + 1];
    }
    return o;
}

void BinaryList::explore(std::uint64_t start, int level, std::uint64_t cap) {
    if (_seen[start].state != kNew) return;
    struct Frame {
        std::uint64_t index;
        Object object;
        std::uint64_t next, units;
        std::uint32_t height;
        int level;
        bool asKey;
    };
    std::vector<Frame> path;
    const auto done = [&](const Object& o, std::uint64_t units, std::uint32_t height) {
        Seen seen{};
        seen.state = kDone;
        seen.key = o.key;
        seen.height = height;
        seen.units = static_cast<std::uint32_t>(std::min(units, cap + 1));
        return seen;
    };
    const auto fold = [](Frame& f, const Seen& child, bool asKey) {
        if (child.state == kOpen || child.height == kTooDeep || (asKey && !child.key) ||
            f.level + 1 + static_cast<int>(child.height) > kMaxDepth) {
            f.height = kTooDeep;
            return;
        }
        f.height = std::max<std::uint32_t>(f.height, child.height + 1);
        f.units += child.units;
    };
    const auto enter = [&](std::uint64_t index, const Object& o, int at, bool asKey) {
        if (o.kind == Kind::Array || o.kind == Kind::Dictionary) {
            _seen[index].state = kOpen;
            path.push_back({index, o, 0, 1, 0, at, asKey});
        } else {
            _seen[index] = done(o, o.units, o.kind == Kind::Leaf ? 0 : kTooDeep);
        }
    };
    enter(start, object(start), level, false);
    while (!path.empty() && _read <= _readLimit) {
        Frame& f = path.back();
        const std::uint64_t refs = f.object.count * (f.object.kind == Kind::Dictionary ? 2 : 1);
        if (refs > 0 && f.level >= kMaxDepth) f.height = kTooDeep;  // its values would lie deeper
        if (f.next == 0 && refs >= cap) f.units = cap + 1;  // a unit for each value at least
        // Values met before cost an addition each; a wide list is mostly these, so the loop keeps
        // its counts in locals.
        const std::uint64_t keys = f.object.kind == Kind::Dictionary ? f.object.count : 0;
        const std::uint64_t readable = f.next + (_readLimit - _read) / _refSize;
        std::uint64_t next = f.next, units = f.units, child = 0;
        std::uint32_t height = f.height;
        const int room = kMaxDepth - f.level - 1;  // levels left below an element
        while (next < refs && next < readable && units <= cap && height != kTooDeep) {
            child = ref(f.object.refs + next * _refSize);
            if (child >= _objects) {
                height = kTooDeep;
                break;
            }
            const Seen seen = _seen[child];
            if (seen.state == kNew) break;
            ++next;
            if (seen.state == kOpen || static_cast<int>(seen.height) > room ||
                (next <= keys && !seen.key)) {
                height = kTooDeep;
            } else {
                height = std::max<std::uint32_t>(height, seen.height + 1);
                units += seen.units;
            }
        }
        _read += (next - f.next) * _refSize;
        f.next = next;
        f.units = units;
        f.height = height;
        if (next == readable && next < refs && units <= cap && height != kTooDeep) {
            _read = _readLimit + 1;
            return;
        }
        if (next == refs || units > cap || height == kTooDeep) {
            const Seen seen = done(f.object, units, height);
            const bool asKey = f.asKey;
            _seen[f.index] = seen;
            path.pop_back();
            if (!path.empty()) fold(path.back(), seen, asKey);
            continue;
        }
        // A value met for the first time: a leaf is read at once, a list goes on the path.
        const bool asKey = next < keys;
        ++f.next;
        _read += _refSize;
        const Object o = object(child);
        if (asKey && o.kind != Kind::Leaf) {
            f.height = kTooDeep;
            continue;
        }
        enter(child, o, f.level + 1, asKey);
        if (_seen[child].state != kOpen) fold(path.back(), _seen[child], asKey);
    }
}

bool BinaryList::check(std::vector<std::uint8_t>& rebuilt) {
    explore(_root, 0, kMaxUnits);
    if (_read > _readLimit) return false;
    if (_seen[_root].height != kTooDeep && _seen[_root].units <= kMaxUnits) return true;
    const Object root = object(_root);
    if (root.kind != Kind::Array && root.kind != Kind::Dictionary) return false;
    const bool keyed = root.kind == Kind::Dictionary;
    RootBudget budget(root.count, keyed);
    if (!budget.affordable()) return false;
    // A dropped value points at a new empty data object; without an index left for it the entry
    // is left out instead.
    const bool placeholder = _refSize == 8 || _objects < std::uint64_t{1} << (8 * _refSize);
    std::vector<std::uint64_t> keys, values;
    for (std::uint64_t i = 0; i < root.count; ++i) {
        const std::uint64_t key = keyed ? ref(root.refs + i * _refSize) : 0;
        const std::uint64_t value = ref(root.refs + (keyed ? root.count + i : i) * _refSize);
        const std::uint64_t room = budget.available();
        bool keyReadable = !keyed || key < _objects;
        if (keyed && keyReadable) {
            explore(key, 1, room);
            keyReadable = _seen[key].state == kDone && _seen[key].key;
        }
        const std::uint64_t keyUnits = keyed && keyReadable ? _seen[key].units : 0;
        const bool valueReadable = keyReadable && keyUnits < room && value < _objects;
        if (valueReadable) explore(value, 1, room);
        if (_read > _readLimit) return false;
        const Seen seen = valueReadable ? _seen[value] : Seen{};
        const Fate fate =
            budget.take(keyUnits, keyReadable, seen.units,
                        valueReadable && 1 + static_cast<int>(seen.height) <= kMaxDepth);
        if (fate == Fate::Omit || (fate == Fate::Drop && !placeholder)) continue;
        if (keyed) keys.push_back(key);
        values.push_back(fate == Fate::Keep ? value : _objects);
    }
    rebuild(keyed, keys, values, rebuilt);
    return true;
}

// The objects as they are, then the placeholder (empty data, index _objects) and the new root
// (index _objects + 1), a new offset table and trailer. The old root stays, unreferenced.
void BinaryList::rebuild(bool keyed, const std::vector<std::uint64_t>& keys,
                         const std::vector<std::uint64_t>& values,
                         std::vector<std::uint8_t>& out) const {
    const auto put = [&out](std::uint64_t value, std::size_t size) {
        for (std::size_t i = size; i-- > 0;)
            out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    };
    out.reserve(_table + 2 + 9 + (keys.size() + values.size()) * _refSize + (_objects + 2) * 8 +
                32);
    out.assign(_bytes, _bytes + _table);
    out.push_back(0x40);
    const std::uint64_t rootAt = out.size();
    const std::uint8_t type = keyed ? 0xd0 : 0xa0;
    if (values.size() < 15) {
        out.push_back(static_cast<std::uint8_t>(type | values.size()));
    } else {
        out.push_back(type | 0x0f);
        out.push_back(0x13);
        put(values.size(), 8);
    }
    for (const std::uint64_t key : keys) put(key, _refSize);
    for (const std::uint64_t value : values) put(value, _refSize);
    const std::uint64_t table = out.size();
    std::size_t offsetSize = _offsetSize;
    while (offsetSize < 8 && rootAt >> (8 * offsetSize)) ++offsetSize;
    if (offsetSize == _offsetSize) {
        out.insert(out.end(), _bytes + _table, _bytes + _table + _objects * _offsetSize);
    } else {
        for (std::uint64_t i = 0; i < _objects; ++i) {
            put(bigEndian(_bytes + _table + i * _offsetSize, _offsetSize), offsetSize);
        }
    }
    put(_table, offsetSize);
    put(rootAt, offsetSize);
    out.insert(out.end(), 6, 0);
    out.push_back(static_cast<std::uint8_t>(offsetSize));
    out.push_back(static_cast<std::uint8_t>(_refSize));
    put(_objects + 2, 8);
    put(_objects + 1, 8);
    put(table, 8);
}

enum class Element { Wrapper, List, Key, Leaf, Unknown };

// The tags of an XML list one at a time, with comments, processing instructions and the
// document type skipped; a CDATA section is text.
class XmlTags {
  public:
    enum class Kind { Open, Empty, Close, Text, End, Bad };
    struct Tag {
        Kind kind = Kind::End;
        Element element = Element::Unknown;
        std::string_view name, bytes;
    };
    XmlTags(std::string_view text, std::size_t at) : _text(text), _at(at) {}
    std::size_t at() const { return _at; }
    Tag next();

  private:
    std::string_view _text;
    std::size_t _at;
};

Element elementOf(std::string_view name) {
    switch (name.size()) {
        case 3:
            return name == "key" ? Element::Key : Element::Unknown;
        case 4:
            if (name == "dict") return Element::List;
            return name == "real" || name == "true" || name == "date" || name == "data"
                       ? Element::Leaf
                       : Element::Unknown;
        case 5:
            if (name == "plist") return Element::Wrapper;
            if (name == "array") return Element::List;
            return name == "false" ? Element::Leaf : Element::Unknown;
        case 6:
            return name == "string" ? Element::Leaf : Element::Unknown;
        case 7:
            return name == "integer" ? Element::Leaf : Element::Unknown;
        default:
            return Element::Unknown;
    }
}

XmlTags::Tag XmlTags::next() {
    const Tag bad{Kind::Bad, Element::Unknown, {}, {}};
    const std::size_t size = _text.size();
    while (_at < size) {
        const std::size_t begin = _at;
        if (_text[begin] != '<') {
            _at = std::min(_text.find('<', begin), size);
            return {Kind::Text, Element::Unknown, {}, _text.substr(begin, _at - begin)};
        }
        const auto skipPast = [&](std::string_view end, std::size_t from) {
            const std::size_t found = _text.find(end, begin + from);
            _at = found == std::string_view::npos ? size : found + end.size();
            return found != std::string_view::npos;
        };
        const std::string_view rest = _text.substr(begin);
        const char second = rest.size() > 1 ? rest[1] : 0;
        if (second == '!' && rest.starts_with("<!--")) {
            if (!skipPast("-->", 4)) return bad;
            continue;
        }
        if (second == '!' && rest.starts_with("<![CDATA[")) {
            if (!skipPast("]]>", 9)) return bad;
            return {Kind::Text, Element::Unknown, {}, _text.substr(begin, _at - begin)};
        }
        if (second == '?') {
            if (!skipPast("?>", 2)) return bad;
            continue;
        }
        const bool declaration = second == '!', closing = second == '/';
        std::size_t i = begin + (declaration || closing ? 2 : 1);
        const std::size_t name = i;
        for (; i < size; ++i) {
            const char c = _text[i];
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '-' || c == '.' || c == ':')) {
                break;
            }
        }
        const std::size_t nameEnd = i;
        if (nameEnd == name) return bad;
        // Attributes, or a document type's internal subset, up to the '>' outside quotes.
        char quote = 0;
        int brackets = 0;
        for (; i < size; ++i) {
            const char c = _text[i];
            if (quote) {
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (declaration && (c == '[' || c == ']')) {
                brackets += c == '[' ? 1 : -1;
            } else if (c == '>' && brackets <= 0) {
                break;
            }
        }
        if (i == size) return bad;
        _at = i + 1;
        if (declaration) continue;
        const Kind kind = closing ? Kind::Close : _text[i - 1] == '/' ? Kind::Empty : Kind::Open;
        const std::string_view tagName = _text.substr(name, nameEnd - name);
        return {kind, elementOf(tagName), tagName, _text.substr(begin, _at - begin)};
    }
    return {};
}

// One value of an XML list, from its opening tag to the end of its closing one.
struct XmlValue {
    std::size_t begin = 0, end = 0;
    std::uint64_t units = 1;
    int height = 0;  // levels below it
    bool key = false;
};

// Counts the value that `open` begins, up to its end: false when the tags run out or break off.
bool scanValue(XmlTags& tags, const XmlTags::Tag& open, std::size_t begin, XmlValue& value) {
    value = {begin, 0, 1, 0, open.element == Element::Key};
    std::uint64_t text = 0;
    for (int depth = open.kind == XmlTags::Kind::Open ? 1 : 0; depth > 0;) {
        const XmlTags::Tag tag = tags.next();
        const Element element = tag.element;
        if (tag.kind == XmlTags::Kind::Text) {
            text += tag.bytes.size();
        } else if (tag.kind == XmlTags::Kind::End || tag.kind == XmlTags::Kind::Bad ||
                   element == Element::Unknown) {
            return false;
        } else if (element == Element::Wrapper) {
        } else if (tag.kind == XmlTags::Kind::Close) {
            --depth;
        } else {
            ++value.units;
            value.height = std::max(value.height, depth);
            if (tag.kind == XmlTags::Kind::Open) ++depth;
        }
    }
    value.end = tags.at();
    value.units += text / kBytesPerUnit;
    return true;
}

// The value again, in the form libplist is given: its tags without attributes, and its text.
void appendValue(std::string_view text, const XmlValue& value, std::string& out) {
    XmlTags tags(text.substr(0, value.end), value.begin);
    for (XmlTags::Tag tag = tags.next(); tag.kind != XmlTags::Kind::End; tag = tags.next()) {
        if (tag.kind == XmlTags::Kind::Text) {
            out += tag.bytes;
        } else if (tag.element != Element::Wrapper) {
            out += tag.kind == XmlTags::Kind::Close ? "</" : "<";
            out += tag.name;
            out += tag.kind == XmlTags::Kind::Empty ? "/>" : ">";
        }
    }
}

// An XML list rewritten as libplist is to read it: only the tags and text counted here, so
// libplist builds nothing this check did not see, with each root entry kept or dropped alone
// under the same limits as a binary list's. False when it cannot be read at all.
bool boundedXml(std::string_view text, std::string& out) {
    XmlTags tags(text, 0);
    XmlTags::Tag root;
    std::size_t rootBegin = 0;
    do {
        rootBegin = tags.at();
        root = tags.next();
    } while (root.kind == XmlTags::Kind::Text || root.element == Element::Wrapper);
    const Element element = root.element;
    if ((root.kind != XmlTags::Kind::Open && root.kind != XmlTags::Kind::Empty) ||
        element == Element::Unknown) {
        return false;
    }
    out = "<plist>";
    if (root.kind == XmlTags::Kind::Empty || element != Element::List) {
        XmlValue whole;
        if (!scanValue(tags, root, rootBegin, whole) || whole.units > kMaxUnits ||
            whole.height > kMaxDepth) {
            return false;
        }
        appendValue(text, whole, out);
        out += "</plist>";
        return true;
    }
    std::vector<XmlValue> children;
    for (;;) {
        const std::size_t begin = tags.at();
        const XmlTags::Tag tag = tags.next();
        if (tag.kind == XmlTags::Kind::Text || tag.element == Element::Wrapper) continue;
        if (tag.kind == XmlTags::Kind::Close) break;
        if ((tag.kind != XmlTags::Kind::Open && tag.kind != XmlTags::Kind::Empty) ||
            tag.element == Element::Unknown || children.size() >= kMaxUnits ||
            !scanValue(tags, tag, begin, children.emplace_back())) {
            return false;
        }
    }
    // Entries: a key and the value after it, or an element; a stray key or value is left out.
    const bool keyed = root.name == "dict";
    std::vector<std::pair<const XmlValue*, const XmlValue*>> entries;
    for (std::size_t i = 0; i < children.size(); ++i) {
        if (!keyed && !children[i].key) entries.emplace_back(nullptr, &children[i]);
        if (keyed && children[i].key && i + 1 < children.size() && !children[i + 1].key) {
            entries.emplace_back(&children[i], &children[i + 1]);
            ++i;
        }
    }
    RootBudget budget(entries.size(), keyed);
    if (!budget.affordable()) return false;
    out += keyed ? "<dict>" : "<array>";
    for (const auto& [key, value] : entries) {
        const Fate fate =
            budget.take(key ? key->units : 0, true, value->units, 1 + value->height <= kMaxDepth);
        if (fate == Fate::Omit) continue;
        if (key) appendValue(text, *key, out);
        if (fate == Fate::Keep) {
            appendValue(text, *value, out);
        } else {
            out += "<data></data>";
        }
    }
    out += keyed ? "</dict></plist>" : "</array></plist>";
    return true;
}

// Our own copy of libplist's tree, held to the same limits as the checks before parsing, should
// libplist build more than they saw: a root entry too deep, over the budget or of a kind we do
// not hold (a UID) becomes empty data, dropped alone.
class Converter {
  public:
    std::optional<PlistValue> root(plist_t node);

  private:
    // Nothing when the value lies deeper than kMaxDepth, costs more than `left` or is of a kind
    // we do not hold; `left` loses what it cost.
    std::optional<PlistValue> value(plist_t node, int depth, std::uint64_t& left);
};

// Hands each element to `each`, in order, until it answers false; false when it did. By iterator:
// libplist finds an element of a parsed binary list by walking to it.
template <typename Each>
bool forEachItem(plist_t array, Each each) {
    plist_array_iter iterator = nullptr;
    plist_array_new_iter(array, &iterator);
    bool whole = true;
    for (plist_t item = nullptr; whole && iterator;) {
        plist_array_next_item(array, iterator, &item);
        if (!item) break;
        whole = each(item);
    }
    std::free(iterator);
    return whole;
}

// The same for a dictionary's keys and values.
template <typename Each>
bool forEachEntry(plist_t dictionary, Each each) {
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(dictionary, &iterator);
    bool whole = true;
    while (whole && iterator) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(dictionary, iterator, &key, &item);
        const std::string name(key ? key : "");
        std::free(key);
        if (!item) break;
        whole = each(name, item);
    }
    std::free(iterator);
    return whole;
}

std::optional<PlistValue> Converter::value(plist_t node, int depth, std::uint64_t& left) {
    const auto spend = [&left](std::uint64_t units) {
        if (units > left) return false;
        left -= units;
        return true;
    };
    if (!node || depth > kMaxDepth) return std::nullopt;
    switch (plist_get_node_type(node)) {
        case PLIST_STRING: {
            // By pointer and length: a string may hold a NUL, which the copying getter rejects.
            std::uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            if (!text) length = 0;
            if (!spend(textUnits(length))) return std::nullopt;
            return PlistValue::string(std::string(text ? text : "", length));
        }
        case PLIST_UINT: {
            std::uint64_t value = 0;
            plist_get_uint_val(node, &value);
            if (!spend(1)) return std::nullopt;
            // Negative integers arrive as their two's complement.
            return PlistValue::integer(static_cast<std::int64_t>(value));
        }
        case PLIST_REAL: {
            double value = 0;
            plist_get_real_val(node, &value);
            if (!spend(1)) return std::nullopt;
            return PlistValue::real(value);
        }
        case PLIST_BOOLEAN: {
            std::uint8_t value = 0;
            plist_get_bool_val(node, &value);
            if (!spend(1)) return std::nullopt;
            return PlistValue::boolean(value != 0);
        }
        case PLIST_DATE: {
            std::int32_t seconds = 0, microseconds = 0;
            plist_get_date_val(node, &seconds, &microseconds);
            if (!spend(1)) return std::nullopt;
            return PlistValue::date(seconds + microseconds / 1e6);
        }
        case PLIST_DATA: {
            std::uint64_t length = 0;
            const auto* bytes =
                reinterpret_cast<const std::uint8_t*>(plist_get_data_ptr(node, &length));
            if (!bytes) length = 0;
            if (!spend(textUnits(length))) return std::nullopt;
            return PlistValue::data(PlistData(bytes, bytes + length));
        }
        case PLIST_ARRAY: {
            if (!spend(1)) return std::nullopt;
            PlistArray items;
            items.reserve(plist_array_get_size(node));
            const bool whole = forEachItem(node, [&](plist_t item) {
                auto converted = value(item, depth + 1, left);
                if (converted) items.push_back(std::move(*converted));
                return converted.has_value();
            });
            if (!whole) return std::nullopt;
            return PlistValue::array(std::move(items));
        }
        case PLIST_DICT: {
            if (!spend(1)) return std::nullopt;
            PlistDictionary entries;
            const bool whole = forEachEntry(node, [&](const std::string& name, plist_t item) {
                auto converted =
                    spend(textUnits(name.size())) ? value(item, depth + 1, left) : std::nullopt;
                if (converted) entries.insert_or_assign(name, std::move(*converted));
                return converted.has_value();
            });
            if (!whole) return std::nullopt;
            return PlistValue::dictionary(std::move(entries));
        }
        default:
            return std::nullopt;
    }
}

std::optional<PlistValue> Converter::root(plist_t node) {
    const plist_type type = node ? plist_get_node_type(node) : PLIST_NONE;
    if (type != PLIST_ARRAY && type != PLIST_DICT) {
        std::uint64_t left = kMaxUnits;
        return value(node, 0, left);
    }
    const bool keyed = type == PLIST_DICT;
    RootBudget budget(keyed ? plist_dict_get_size(node) : plist_array_get_size(node), keyed);
    if (!budget.affordable()) return std::nullopt;
    // Converts one entry's value within what the budget has left for it, and says what became of
    // it.
    const auto take = [&](std::uint64_t keyUnits, plist_t item) {
        const std::uint64_t room = budget.available();
        std::optional<PlistValue> converted;
        std::uint64_t left = room > keyUnits ? room - keyUnits : 0;
        const std::uint64_t before = left;
        if (left > 0) converted = value(item, 1, left);
        const Fate fate = budget.take(keyUnits, true, before - left, converted.has_value());
        if (fate == Fate::Drop) converted = PlistValue::data({});
        return fate == Fate::Omit ? std::nullopt : converted;
    };
    if (!keyed) {
        PlistArray items;
        items.reserve(plist_array_get_size(node));
        forEachItem(node, [&](plist_t item) {
            items.push_back(*take(0, item));
            return true;
        });
        return PlistValue::array(std::move(items));
    }
    PlistDictionary entries;
    forEachEntry(node, [&](const std::string& name, plist_t item) {
        if (auto converted = take(textUnits(name.size()), item)) {
            entries.insert_or_assign(name, std::move(*converted));
        }
        return true;
    });
    return PlistValue::dictionary(std::move(entries));
}

// Foundation's numeric reading of a string: leading blanks, a sign, digits with an optional
// fraction and exponent; anything else reads as 0.
double numericPrefix(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) ++i;
    const std::size_t start = i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
    }
    if (digits == 0) return 0.0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
        if (j < text.size() && text[j] >= '0' && text[j] <= '9') {
            while (j < text.size() && text[j] >= '0' && text[j] <= '9') ++j;
            i = j;
        }
    }
    // strtod on the checked span only: no hex, no inf or nan, and the C locale's decimal point.
    std::string number = text.substr(start, i - start);
    for (char& c : number) {
        if (c == '.') c = *std::localeconv()->decimal_point;
    }
    return std::strtod(number.c_str(), nullptr);
}

}  // namespace

PlistValue::PlistValue(Type type, Storage storage) : _type(type), _storage(std::move(storage)) {}

PlistValue PlistValue::string(std::string value) { return {Type::String, std::move(value)}; }
PlistValue PlistValue::integer(std::int64_t value) { return {Type::Integer, value}; }
PlistValue PlistValue::real(double value) { return {Type::Real, value}; }
PlistValue PlistValue::boolean(bool value) { return {Type::Boolean, value}; }
PlistValue PlistValue::date(double secondsSince2001) { return {Type::Date, secondsSince2001}; }
PlistValue PlistValue::data(PlistData value) {
    return {Type::Data, std::make_shared<const PlistData>(std::move(value))};
}
PlistValue PlistValue::array(PlistArray value) {
    return {Type::Array, std::make_shared<const PlistArray>(std::move(value))};
}
PlistValue PlistValue::dictionary(PlistDictionary value) {
    return {Type::Dictionary, std::make_shared<const PlistDictionary>(std::move(value))};
}

const std::string& PlistValue::stringValue() const {
    const auto* value = std::get_if<std::string>(&_storage);
    return value ? *value : kEmptyString;
}

const PlistArray& PlistValue::arrayValue() const {
    const auto* value = std::get_if<std::shared_ptr<const PlistArray>>(&_storage);
    return value && *value ? **value : kEmptyArray;
}

const PlistDictionary& PlistValue::dictionaryValue() const {
    const auto* value = std::get_if<std::shared_ptr<const PlistDictionary>>(&_storage);
    return value && *value ? **value : kEmptyDictionary;
}

const PlistData& PlistValue::dataValue() const {
    const auto* value = std::get_if<std::shared_ptr<const PlistData>>(&_storage);
    return value && *value ? **value : kEmptyData;
}

std::int64_t PlistValue::integerValue() const {
    const auto* value = std::get_if<std::int64_t>(&_storage);
    return value ? *value : 0;
}

std::optional<double> PlistValue::doubleValue() const {
    switch (_type) {
        case Type::Integer: return static_cast<double>(integerValue());
        case Type::Real: return std::get<double>(_storage);
        case Type::Boolean: return std::get<bool>(_storage) ? 1.0 : 0.0;
        case Type::String: return numericPrefix(stringValue());
        default: return std::nullopt;
    }
}

std::optional<PlistValue> propertyListWithBytes(const std::uint8_t* bytes, std::size_t length) {
    if (!bytes || length == 0 || length > kMaxFileBytes) return std::nullopt;
    constexpr char kBinaryMagic[] = "bplist00";
    plist_t root = nullptr;
    if (length >= 8 && std::equal(kBinaryMagic, kBinaryMagic + 8, bytes)) {
        std::vector<std::uint8_t> rebuilt;
        {
            // The check's own memory is given back before libplist builds its tree.
            BinaryList list;
            if (!list.open(bytes, length) || !list.check(rebuilt)) return std::nullopt;
        }
        if (!rebuilt.empty()) {
            bytes = rebuilt.data();
            length = rebuilt.size();
        }
        plist_from_memory(reinterpret_cast<const char*>(bytes), static_cast<std::uint32_t>(length),
                          &root);
    } else {
        std::string bounded;
        if (!boundedXml(std::string_view(reinterpret_cast<const char*>(bytes), length), bounded)) {
            return std::nullopt;
        }
        plist_from_memory(bounded.data(), static_cast<std::uint32_t>(bounded.size()), &root);
    }
    const PlistHandle handle(root);
    return Converter().root(root);
}

std::optional<PlistValue> propertyListWithContentsOfFile(const std::string& path) {
    const int fd = openRegularFile(path);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<PlistValue> result;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
        static_cast<std::uint64_t>(st.st_size) <= kMaxFileBytes) {
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(st.st_size));
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        if (done == bytes.size()) result = propertyListWithBytes(bytes.data(), bytes.size());
    }
    ::close(fd);
    return result;
}

std::optional<PlistDictionary> dictionaryWithContentsOfFile(const std::string& path) {
    auto root = propertyListWithContentsOfFile(path);
    if (!root || !root->isDictionary()) return std::nullopt;
    return root->dictionaryValue();
}

}  // namespace tapsound::platform
