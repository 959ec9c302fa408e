#include "platform/property_list.h"

#include <plist/plist.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace tapsound::platform {

namespace {

// Sound-set descriptions are small; anything beyond these is not one.
constexpr std::size_t kMaxFileBytes = 16u << 20;
constexpr int kMaxDepth = 512;

const std::string kEmptyString;
const PlistArray kEmptyArray;
const PlistDictionary kEmptyDictionary;
const PlistData kEmptyData;

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistHandle = std::unique_ptr<void, PlistFree>;

// The parsers recurse once per level, so nesting is measured before they see the bytes.
bool xmlNestingWithin(const std::uint8_t* bytes, std::size_t length, int limit) {
    int depth = 0;
    for (std::size_t i = 0; i + 1 < length; ++i) {
        if (bytes[i] != '<') continue;
        const bool closing = bytes[i + 1] == '/';
        const std::size_t name = i + (closing ? 2 : 1);
        auto startsWith = [&](const char* word) {
            std::size_t k = 0;
            for (; word[k]; ++k) {
                if (name + k >= length || bytes[name + k] != static_cast<std::uint8_t>(word[k])) {
                    return false;
                }
            }
            return name + k < length && (bytes[name + k] == '>' || bytes[name + k] == ' ');
        };
        if (startsWith("array") || startsWith("dict")) {
            std::size_t end = name;
            while (end < length && bytes[end] != '>') ++end;
            const bool selfClosing = end > 0 && end < length && bytes[end - 1] == '/';
            if (closing) {
                --depth;
            } else if (!selfClosing && ++depth > limit) {
                return false;
            }
        }
    }
    return true;
}

std::uint64_t bigEndian(const std::uint8_t* bytes, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value = value << 8 | bytes[i];
    return value;
}

// libplist copies dictionary keys as C strings and aborts when one holds a NUL, which a binary
// list can carry. Such a list is refused before it is parsed. Anything else malformed is left to
// the parser, which rejects it without harm.
bool binaryKeysWithoutNul(const std::uint8_t* bytes, std::size_t length) {
    constexpr std::size_t kHeader = 8, kTrailer = 32;
    if (length < kHeader + kTrailer) return true;
    const std::uint8_t* trailer = bytes + length - kTrailer;
    const std::size_t offsetSize = trailer[6], refSize = trailer[7];
    const std::size_t end = length - kTrailer;
    const std::uint64_t objects = bigEndian(trailer + 8, 8);
    const std::uint64_t table = bigEndian(trailer + 24, 8);
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8 || objects > end ||
        table > end || objects * offsetSize > end - table) {
        return true;
    }
    auto offsetOf = [&](std::uint64_t index) {
        return bigEndian(bytes + table + index * offsetSize, offsetSize);
    };
    // Element count and where the elements start; false when the count runs off the end.
    auto countAt = [&](std::uint64_t at, std::uint64_t& count, std::uint64_t& start) {
        count = bytes[at] & 0x0f;
        start = at + 1;
        if (count != 0x0f) return true;
        if (start >= end || (bytes[start] & 0xf0) != 0x10) return false;
        const std::size_t size = std::size_t{1} << (bytes[start] & 0x0f);
        if (size > 8 || size > end - start - 1) return false;
        count = bigEndian(bytes + start + 1, size);
        start += 1 + size;
        return true;
    };
    // A key shared by many dictionaries is read once.
    std::vector<bool> checked(static_cast<std::size_t>(objects), false);
    for (std::uint64_t i = 0; i < objects; ++i) {
        const std::uint64_t at = offsetOf(i);
        if (at >= end || bytes[at] >> 4 != 0x0d) continue;
        std::uint64_t entries = 0, refs = 0;
        if (!countAt(at, entries, refs) || refs > end || entries > (end - refs) / refSize) continue;
        for (std::uint64_t k = 0; k < entries; ++k) {
            const std::uint64_t key = bigEndian(bytes + refs + k * refSize, refSize);
            if (key >= objects || checked[key]) continue;
            checked[key] = true;
            const std::uint64_t keyAt = offsetOf(key);
            if (keyAt >= end) continue;
            const int kind = bytes[keyAt] >> 4;
            std::uint64_t units = 0, text = 0;
            if ((kind != 0x5 && kind != 0x6) || !countAt(keyAt, units, text) || text > end) continue;
            const std::uint64_t unitSize = kind == 0x6 ? 2 : 1;
            const std::uint64_t span = std::min<std::uint64_t>(units, (end - text) / unitSize);
            for (std::uint64_t u = 0; u < span; ++u) {
                if (bigEndian(bytes + text + u * unitSize, unitSize) == 0) return false;
            }
        }
    }
    return true;
}

std::optional<PlistValue> convert(plist_t node, int depth) {
    if (!node || depth > kMaxDepth) return std::nullopt;
    switch (plist_get_node_type(node)) {
        case PLIST_STRING: {
            // By pointer and length: a string may hold a NUL, which the copying getter rejects.
            std::uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            return PlistValue::string(text ? std::string(text, length) : std::string());
        }
        case PLIST_UINT: {
            std::uint64_t value = 0;
            plist_get_uint_val(node, &value);
            // Negative integers arrive as their two's complement.
            return PlistValue::integer(static_cast<std::int64_t>(value));
        }
        case PLIST_REAL: {
            double value = 0;
            plist_get_real_val(node, &value);
            return PlistValue::real(value);
        }
        case PLIST_BOOLEAN: {
            std::uint8_t value = 0;
            plist_get_bool_val(node, &value);
            return PlistValue::boolean(value != 0);
        }
        case PLIST_DATE: {
            std::int32_t seconds = 0, microseconds = 0;
            plist_get_date_val(node, &seconds, &microseconds);
            return PlistValue::date(seconds + microseconds / 1e6);
        }
        case PLIST_DATA: {
            char* bytes = nullptr;
            std::uint64_t length = 0;
            plist_get_data_val(node, &bytes, &length);
            PlistData value(reinterpret_cast<std::uint8_t*>(bytes),
                            reinterpret_cast<std::uint8_t*>(bytes) + (bytes ? length : 0));
            std::free(bytes);
            return PlistValue::data(std::move(value));
        }
        case PLIST_ARRAY: {
            PlistArray items;
            const std::uint32_t count = plist_array_get_size(node);
            items.reserve(count);
            for (std::uint32_t i = 0; i < count; ++i) {
                auto item = convert(plist_array_get_item(node, i), depth + 1);
                if (!item) return std::nullopt;
                items.push_back(std::move(*item));
            }
            return PlistValue::array(std::move(items));
        }
        case PLIST_DICT: {
            PlistDictionary entries;
            plist_dict_iter iterator = nullptr;
            plist_dict_new_iter(node, &iterator);
            if (!iterator) return PlistValue::dictionary({});
            while (true) {
                char* key = nullptr;
                plist_t value = nullptr;
                plist_dict_next_item(node, iterator, &key, &value);
                if (!value) {
                    std::free(key);
                    break;
                }
                auto converted = convert(value, depth + 1);
                if (!converted) {
                    std::free(key);
                    std::free(iterator);
                    return std::nullopt;
                }
                entries.insert_or_assign(std::string(key ? key : ""), std::move(*converted));
                std::free(key);
            }
            std::free(iterator);
            return PlistValue::dictionary(std::move(entries));
        }
        default:
            return std::nullopt;
    }
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
    const bool binary = length >= 8 && std::equal(kBinaryMagic, kBinaryMagic + 8, bytes);
    if (binary ? !binaryKeysWithoutNul(bytes, length) : !xmlNestingWithin(bytes, length, kMaxDepth)) {
        return std::nullopt;
    }
    plist_t root = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(bytes), static_cast<std::uint32_t>(length), &root);
    const PlistHandle handle(root);
    return convert(root, 0);
}

std::optional<PlistValue> propertyListWithContentsOfFile(const std::string& path) {
    // Non-blocking, so a FIFO in place of the file cannot stall us.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
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
