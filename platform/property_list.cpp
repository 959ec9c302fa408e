#include "platform/property_list.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/file_manager_posix.h"
#include "platform/property_list_forms.h"

namespace tapsound::platform {

namespace {

const std::string kEmptyString;
const PlistArray kEmptyArray;
const PlistDictionary kEmptyDictionary;
const PlistData kEmptyData;

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
    if (!bytes || length == 0 || length > kMaxPropertyListBytes) return std::nullopt;
    const std::span<const std::uint8_t> all(bytes, length);
    if (length >= 8 && std::memcmp(bytes, "bplist", 6) == 0) return readBinaryPropertyList(all);
    if (length > kMaxXmlPropertyListBytes) return std::nullopt;
    return readXmlPropertyList(all);
}

std::optional<PlistValue> propertyListWithContentsOfFile(const std::string& path) {
    const int fd = openRegularFile(path);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<PlistValue> result;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
        static_cast<std::uint64_t>(st.st_size) <= kMaxPropertyListBytes) {
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
