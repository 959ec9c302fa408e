#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tapsound::platform {

class PlistValue;
using PlistArray = std::vector<PlistValue>;
using PlistDictionary = std::map<std::string, PlistValue, std::less<>>;
using PlistData = std::vector<std::uint8_t>;

// An immutable property-list value. Containers are shared, so copies are cheap.
class PlistValue {
public:
    enum class Type { String, Integer, Real, Boolean, Date, Data, Array, Dictionary };

    static PlistValue string(std::string value);
    static PlistValue integer(std::int64_t value);
    static PlistValue real(double value);
    static PlistValue boolean(bool value);
    static PlistValue date(double secondsSince2001);
    static PlistValue data(PlistData value);
    static PlistValue array(PlistArray value);
    static PlistValue dictionary(PlistDictionary value);

    Type type() const { return _type; }
    bool isString() const { return _type == Type::String; }
    bool isArray() const { return _type == Type::Array; }
    bool isDictionary() const { return _type == Type::Dictionary; }

    // Empty for a value of another type.
    const std::string& stringValue() const;
    const PlistArray& arrayValue() const;
    const PlistDictionary& dictionaryValue() const;
    const PlistData& dataValue() const;
    std::int64_t integerValue() const;

    // The numeric reading of a number, a boolean (1 or 0) or a string (its leading number, else 0);
    // nothing for a date, data, an array or a dictionary.
    std::optional<double> doubleValue() const;

private:
    using Storage = std::variant<std::monostate, std::string, std::int64_t, double, bool,
                                 std::shared_ptr<const PlistData>, std::shared_ptr<const PlistArray>,
                                 std::shared_ptr<const PlistDictionary>>;
    PlistValue(Type type, Storage storage);

    Type _type = Type::String;
    Storage _storage;
};

// Reads an XML or binary property list; nothing when it cannot be read or parsed. A list of up to
// 16 MB in binary form or 2 MB in XML reads in bounded time and memory: an entry of the root that
// nests too deep, costs too much (a shared value counts each time it is reached) or cannot be read
// becomes empty data, and the other entries stay. The limits are in property_list_forms.h.
std::optional<PlistValue> propertyListWithContentsOfFile(const std::string& path);
std::optional<PlistValue> propertyListWithBytes(const std::uint8_t* bytes, std::size_t length);

// The root dictionary of a property-list file; nothing when missing, unreadable or not a
// dictionary.
std::optional<PlistDictionary> dictionaryWithContentsOfFile(const std::string& path);

}  // namespace tapsound::platform
