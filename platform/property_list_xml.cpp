// XML property lists, read twice through QXmlStreamReader: once to measure each entry of the root
// (its depth and units, counted without recursion), then to build only the entries that fit. No
// entity is declared or expanded and no external document is fetched.
#include <QByteArray>
#include <QDateTime>
#include <QXmlStreamReader>
#include <clocale>
#include <cstdlib>
#include <locale.h>
#include <utility>
#include <vector>

#include "platform/property_list_forms.h"

namespace tapsound::platform {

namespace {

enum class Element { Dictionary, Array, Key, String, Integer, Real, True, False, Date, Data, Unknown };

Element elementOf(QStringView name) {
    static const struct {
        const char16_t* name;
        Element element;
    } kElements[] = {{u"dict", Element::Dictionary}, {u"array", Element::Array},
                     {u"key", Element::Key},         {u"string", Element::String},
                     {u"integer", Element::Integer}, {u"real", Element::Real},
                     {u"true", Element::True},       {u"false", Element::False},
                     {u"date", Element::Date},       {u"data", Element::Data}};
    for (const auto& e : kElements) {
        if (name == QStringView(e.name)) return e.element;
    }
    return Element::Unknown;
}

bool isList(Element e) { return e == Element::Dictionary || e == Element::Array; }

// One element of the root: its units and the levels below it.
struct Measure {
    bool key = false;
    std::uint64_t units = 1;
    int height = 0;
    bool readable = true;
};

class XmlReader {
  public:
    explicit XmlReader(std::span<const std::uint8_t> bytes)
        : _bytes(QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<qsizetype>(bytes.size()))) {}
    std::optional<PlistValue> read();

  private:
    // Moves `xml` to the start of the root value, past the optional <plist> around it; false when
    // there is none, or the document declares entities.
    static bool enterRoot(QXmlStreamReader& xml);
    // Reads to the end of the element `xml` is at, counting it; false on an unknown element or
    // broken XML.
    static bool measure(QXmlStreamReader& xml, Measure& out);
    // Builds the element `xml` is at, measured to fit.
    static PlistValue build(QXmlStreamReader& xml);
    static PlistValue leaf(Element element, const QString& text);

    QByteArray _bytes;
};

bool XmlReader::enterRoot(QXmlStreamReader& xml) {
    bool wrapped = false;
    while (!xml.atEnd()) {
        switch (xml.readNext()) {
            case QXmlStreamReader::DTD:
                if (!xml.entityDeclarations().isEmpty()) return false;
                break;
            case QXmlStreamReader::StartElement:
                if (!wrapped && xml.name() == u"plist") {
                    wrapped = true;
                    break;
                }
                return elementOf(xml.name()) != Element::Unknown;
            case QXmlStreamReader::Characters:
                if (!xml.isWhitespace()) return false;
                break;
            case QXmlStreamReader::EntityReference:
            case QXmlStreamReader::EndElement:
            case QXmlStreamReader::Invalid:
                return false;
            default:
                break;
        }
    }
    return false;
}

bool XmlReader::measure(QXmlStreamReader& xml, Measure& out) {
    const Element top = elementOf(xml.name());
    if (top == Element::Unknown) return false;
    out = {top == Element::Key, 1, 0, true};
    std::uint64_t text = 0;
    // Whether the element now open may hold elements.
    std::vector<bool> lists{isList(top)};
    while (!lists.empty()) {
        switch (xml.readNext()) {
            case QXmlStreamReader::StartElement: {
                const Element element = elementOf(xml.name());
                if (element == Element::Unknown) return false;
                if (!lists.back()) out.readable = false;
                ++out.units;
                out.height = std::max(out.height, static_cast<int>(lists.size()));
                lists.push_back(isList(element));
                break;
            }
            case QXmlStreamReader::EndElement:
                lists.pop_back();
                break;
            case QXmlStreamReader::Characters:
                text += static_cast<std::uint64_t>(xml.text().size());
                break;
            case QXmlStreamReader::EntityReference:
            case QXmlStreamReader::Invalid:
                return false;
            default:
                break;
        }
    }
    out.units += text / kPlistBytesPerUnit;
    return true;
}

PlistValue XmlReader::leaf(Element element, const QString& text) {
    const QByteArray bytes = text.trimmed().toUtf8();
    switch (element) {
        case Element::Integer: {
            // Negative integers as themselves, larger ones as their two's complement.
            const char* digits = bytes.constData();
            const bool negative = bytes.startsWith('-');
            const QByteArray unsigned_ = negative || bytes.startsWith('+') ? bytes.mid(1) : bytes;
            const int base = unsigned_.startsWith("0x") || unsigned_.startsWith("0X") ? 16 : 10;
            const auto value = negative
                                   ? static_cast<std::uint64_t>(std::strtoll(digits, nullptr, base))
                                   : std::strtoull(digits, nullptr, base);
            return PlistValue::integer(static_cast<std::int64_t>(value));
        }
        case Element::Real: {
            // In the C locale, whatever the user's decimal point; 1e999 reads as infinity.
            static const locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
            return PlistValue::real(strtod_l(bytes.constData(), nullptr, c));
        }
        case Element::True:
        case Element::False:
            return PlistValue::boolean(element == Element::True);
        case Element::Date: {
            const QDateTime date = QDateTime::fromString(text.trimmed(), Qt::ISODate);
            constexpr qint64 k2001 = 978307200;
            return PlistValue::date(
                date.isValid() ? static_cast<double>(date.toMSecsSinceEpoch()) / 1000 - k2001 : 0);
        }
        case Element::Data: {
            const QByteArray data = QByteArray::fromBase64(text.toLatin1());
            return PlistValue::data(PlistData(data.begin(), data.end()));
        }
        default:
            return PlistValue::string(text.toStdString());
    }
}

PlistValue XmlReader::build(QXmlStreamReader& xml) {
    const Element element = elementOf(xml.name());
    if (!isList(element)) return leaf(element, xml.readElementText());
    PlistArray items;
    PlistDictionary entries;
    std::optional<std::string> key;
    while (xml.readNextStartElement()) {
        const bool isKey = elementOf(xml.name()) == Element::Key;
        PlistValue value = build(xml);
        if (element == Element::Array) {
            if (!isKey) items.push_back(std::move(value));
        } else if (isKey) {
            key = value.stringValue();
        } else if (key) {
            entries.insert_or_assign(*std::exchange(key, std::nullopt), std::move(value));
        }
    }
    return element == Element::Array ? PlistValue::array(std::move(items))
                                     : PlistValue::dictionary(std::move(entries));
}

std::optional<PlistValue> XmlReader::read() {
    QXmlStreamReader xml(_bytes);
    xml.setNamespaceProcessing(false);
    if (!enterRoot(xml)) return std::nullopt;
    const Element root = elementOf(xml.name());
    if (!isList(root)) {
        Measure whole;
        if (!measure(xml, whole) || !whole.readable || whole.units > kMaxPlistUnits ||
            whole.height > kMaxPlistDepth) {
            return std::nullopt;
        }
        while (!xml.atEnd()) xml.readNext();
        if (xml.hasError()) return std::nullopt;
        QXmlStreamReader again(_bytes);
        again.setNamespaceProcessing(false);
        enterRoot(again);
        return build(again);
    }
    std::vector<Measure> children;
    while (xml.readNextStartElement()) {
        if (children.size() > 2 * kMaxPlistUnits || !measure(xml, children.emplace_back())) {
            return std::nullopt;
        }
    }
    // The rest must be well formed too: a list cut short is no list.
    while (!xml.atEnd()) xml.readNext();
    if (xml.hasError()) return std::nullopt;

    // Entries: a key and the value after it, or an element; a stray key or value is left out.
    const bool keyed = root == Element::Dictionary;
    std::vector<std::pair<std::size_t, std::size_t>> entries;
    for (std::size_t i = 0; i < children.size(); ++i) {
        if (!keyed && !children[i].key) entries.emplace_back(i, i);
        if (keyed && children[i].key && i + 1 < children.size() && !children[i + 1].key) {
            entries.emplace_back(i, i + 1);
            ++i;
        }
    }
    PlistRootBudget budget(entries.size(), keyed);
    if (!budget.affordable()) return std::nullopt;
    // What becomes of each child: built, empty data in its place, or left out.
    enum class Use { Omit, Build, Placeholder };
    std::vector<Use> uses(children.size(), Use::Omit);
    for (const auto& [key, value] : entries) {
        const Measure& v = children[value];
        const auto fate = budget.take(keyed ? children[key].units : 0, v.units,
                                      v.readable && 1 + v.height <= kMaxPlistDepth);
        if (fate == PlistRootBudget::Fate::Omit) continue;
        if (keyed) uses[key] = Use::Build;
        uses[value] = fate == PlistRootBudget::Fate::Keep ? Use::Build : Use::Placeholder;
    }

    QXmlStreamReader again(_bytes);
    again.setNamespaceProcessing(false);
    enterRoot(again);
    PlistArray items;
    PlistDictionary dictionary;
    std::string key;
    for (std::size_t i = 0; i < children.size() && again.readNextStartElement(); ++i) {
        PlistValue value = PlistValue::data({});
        if (uses[i] == Use::Build) {
            value = build(again);
        } else {
            again.skipCurrentElement();
        }
        if (uses[i] == Use::Omit) continue;
        if (!keyed) {
            items.push_back(std::move(value));
        } else if (children[i].key) {
            key = value.stringValue();
        } else {
            dictionary.insert_or_assign(key, std::move(value));
        }
    }
    return keyed ? PlistValue::dictionary(std::move(dictionary))
                 : PlistValue::array(std::move(items));
}

}  // namespace

std::optional<PlistValue> readXmlPropertyList(std::span<const std::uint8_t> bytes) {
    return XmlReader(bytes).read();
}

}  // namespace tapsound::platform
