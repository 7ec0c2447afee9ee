#include "foundation/Value.h"

#include "foundation/Base64.h"
#include "foundation/Text.h"

#include <boost/lexical_cast.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <ostream>
#include <sstream>
#include <stdexcept>

namespace sonorix {
namespace {

// Text to number the way lexical_cast reads it: the whole text must be the number.
template <class T>
T parseNumber(const std::u16string& text) {
    try {
        return boost::lexical_cast<T>(toUtf8(text));
    } catch (const boost::bad_lexical_cast&) {
        return T{};
    }
}

// Truncation toward zero; values outside the target range (and NaN) would be undefined
// behaviour in a plain cast, so they saturate (NaN gives 0).
template <class T>
T truncate(double v) {
    if (std::isnan(v)) {
        return 0;
    }
    if (v <= static_cast<double>(std::numeric_limits<T>::min())) {
        return std::numeric_limits<T>::min();
    }
    if (v >= static_cast<double>(std::numeric_limits<T>::max())) {
        return std::numeric_limits<T>::max();
    }
    return static_cast<T>(v);
}

float narrow(double v) {
    if (std::isfinite(v) && std::fabs(v) > std::numeric_limits<float>::max()) {
        return v > 0 ? std::numeric_limits<float>::infinity()
                     : -std::numeric_limits<float>::infinity();
    }
    return static_cast<float>(v);
}

void writeEscaped(std::ostream& out, std::string_view text) {
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char* entity = nullptr;
        switch (text[i]) {
        case '&':
            entity = "&amp;";
            break;
        case '<':
            entity = "&lt;";
            break;
        case '>':
            entity = "&gt;";
            break;
        case '\'':
            entity = "&apos;";
            break;
        case '"':
            entity = "&quot;";
            break;
        // A raw NUL would end the document for every reader; the reference reads back as NUL.
        case '\0':
            entity = "&#0;";
            break;
        default:
            continue;
        }
        out.write(text.data() + start, static_cast<std::streamsize>(i - start));
        out << entity;
        start = i + 1;
    }
    out.write(text.data() + start, static_cast<std::streamsize>(text.size() - start));
}

} // namespace

// ---- Value: the inherited conversions ----

Value::~Value() = default;

std::u16string Value::toString() const {
    switch (type()) {
    case kInteger:
        return toUtf16(boost::lexical_cast<std::string>(toInt64()));
    case kBool:
        return toBool() ? u"1" : u"0";
    case kReal:
        return toUtf16(boost::lexical_cast<std::string>(toDouble()));
    default:
        return {};
    }
}

int16_t Value::toInt16() const {
    switch (type()) {
    case kString:
        return parseNumber<int16_t>(toString());
    case kInteger:
        return static_cast<int16_t>(toInt32());
    case kBool:
        return toBool() ? 1 : 0;
    case kReal:
        return truncate<int16_t>(toDouble());
    default:
        return 0;
    }
}

int32_t Value::toInt32() const {
    switch (type()) {
    case kString:
        return parseNumber<int32_t>(toString());
    case kBool:
        return toBool() ? 1 : 0;
    case kReal:
        return truncate<int32_t>(toDouble());
    default:
        return 0;
    }
}

int64_t Value::toInt64() const {
    switch (type()) {
    case kString:
        return parseNumber<int64_t>(toString());
    case kBool:
        return toBool() ? 1 : 0;
    case kReal:
        return truncate<int64_t>(toDouble());
    default:
        return 0;
    }
}

bool Value::toBool() const {
    switch (type()) {
    case kString:
        return parseNumber<bool>(toString());
    case kInteger:
        return toInt64() != 0;
    case kReal:
        return toDouble() != 0.0;
    default:
        return false;
    }
}

float Value::toFloat() const {
    switch (type()) {
    case kString:
        return parseNumber<float>(toString());
    case kInteger:
        return static_cast<float>(toInt64());
    case kBool:
        return toBool() ? 1.0f : 0.0f;
    case kReal:
        return narrow(toDouble());
    default:
        return 0.0f;
    }
}

double Value::toDouble() const {
    switch (type()) {
    case kString:
        return parseNumber<double>(toString());
    case kInteger:
        return static_cast<double>(toInt64());
    case kBool:
        return toBool() ? 1.0 : 0.0;
    default:
        return 0.0;
    }
}

const uint8_t* Value::bytes(int32_t& length) const {
    length = 0;
    return nullptr;
}

std::shared_ptr<DateTimePoint> Value::date() const {
    return {};
}
void Value::appendBytes(const uint8_t*, int32_t) {}

void Value::appendBytesOf(const Value& other) {
    int32_t length = 0;
    const uint8_t* b = other.bytes(length);
    if (b && length > 0) {
        appendBytes(b, length);
    }
}

size_t Value::count() const {
    return 0;
}
const ArrayItems* Value::arrayItems() const {
    return nullptr;
}
const DictItems* Value::dictItems() const {
    return nullptr;
}

// ---- writing ----

void Value_string::writeXML(std::ostream& out, const std::string& indent) const {
    out << indent << "<string>";
    writeEscaped(out, toUtf8(m_text));
    out << "</string>\n";
}

void Value_int32::writeXML(std::ostream& out, const std::string& indent) const {
    out << indent << "<integer>" << m_value << "</integer>\n";
}

void Value_int64::writeXML(std::ostream& out, const std::string& indent) const {
    out << indent << "<integer>" << m_value << "</integer>\n";
}

void Value_bool::writeXML(std::ostream& out, const std::string& indent) const {
    out << indent << (m_value ? "<true/>\n" : "<false/>\n");
}

void Value_double::writeXML(std::ostream& out, const std::string& indent) const {
    // The stream's default: general notation, 6 significant digits.
    std::ostringstream text;
    text << m_value;
    out << indent << "<real>" << text.str() << "</real>\n";
}

void Value_data::writeXML(std::ostream& out, const std::string& indent) const {
    out << indent << "<data>" << base64Encode(m_buffer, static_cast<size_t>(m_length))
        << "</data>\n";
}

void Value_date::writeXML(std::ostream& out, const std::string& indent) const {
    out << indent << "<date>" << (m_point ? m_point->format(kIsoDatePattern) : std::string())
        << "</date>\n";
}

void Value_dict::writeXML(std::ostream& out, const std::string& indent) const {
    out << indent << "<dict>\n";
    std::string inner = indent + '\t';
    for (const auto& [key, value] : m_items) {
        if (!value) {
            continue;
        }
        // Keys are escaped too: an unescaped "<" would make the whole file unreadable.
        out << inner << "<key>";
        writeEscaped(out, toUtf8(key));
        out << "</key>\n";
        value->writeXML(out, inner);
    }
    out << indent << "</dict>\n";
}

void Value_array::writeXML(std::ostream& out, const std::string& indent) const {
    out << indent << "<array>\n";
    std::string inner = indent + '\t';
    for (const auto& value : m_items) {
        if (value) {
            value->writeXML(out, inner);
        }
    }
    out << indent << "</array>\n";
}

std::string Value::toXMLDocument() const {
    std::ostringstream out;
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple Computer//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n";
    writeXML(out, std::string());
    out << "</plist>\n";
    return std::move(out).str();
}

// ---- Value_data ----

Value_data::Value_data(const uint8_t* bytes, int32_t length, bool copy, bool takeOwnership) {
    if (length < 0) {
        length = 0;
    }
    if (copy) {
        m_buffer = static_cast<uint8_t*>(std::malloc(length > 0 ? static_cast<size_t>(length) : 1));
        if (!m_buffer) {
            throw std::bad_alloc();
        }
        if (length > 0 && bytes) {
            std::memcpy(m_buffer, bytes, static_cast<size_t>(length));
        } else {
            length = 0;
        }
        m_copied = true;
        m_ownsBuffer = true;
    } else {
        m_buffer = const_cast<uint8_t*>(bytes);
        m_ownsBuffer = takeOwnership;
        if (!bytes) {
            length = 0;
        }
    }
    m_length = length;
}

Value_data::~Value_data() {
    if (m_ownsBuffer) {
        std::free(m_buffer);
    }
}

const uint8_t* Value_data::bytes(int32_t& length) const {
    length = m_length;
    return m_buffer;
}

void Value_data::appendBytes(const uint8_t* bytes, int32_t length) {
    if (!bytes || length <= 0) {
        return;
    }
    if (length > std::numeric_limits<int32_t>::max() - m_length) {
        throw std::length_error("data value larger than 2 GiB");
    }
    size_t total = static_cast<size_t>(m_length) + static_cast<size_t>(length);
    uint8_t* grown = nullptr;
    if (m_ownsBuffer) {
        grown = static_cast<uint8_t*>(std::realloc(m_buffer, total));
    } else {
        grown = static_cast<uint8_t*>(std::malloc(total));
        if (grown && m_length > 0) {
            std::memcpy(grown, m_buffer, static_cast<size_t>(m_length));
        }
    }
    if (!grown) {
        throw std::bad_alloc();
    }
    std::memcpy(grown + m_length, bytes, static_cast<size_t>(length));
    m_buffer = grown;
    m_length = static_cast<int32_t>(total);
    m_ownsBuffer = true;
    m_copied = true;
}

std::u16string Value_date::toString() const {
    return m_point ? toUtf16(m_point->format(kIsoDatePattern)) : std::u16string();
}

// ---- dictionary access ----

ValueRef Value_dict::get(std::u16string_view key) const {
    auto it = m_items.find(key);
    return it == m_items.end() ? ValueRef() : it->second;
}

ValueRef Value_dict::get(std::string_view key) const {
    try {
        return get(std::u16string_view(toUtf16(key)));
    } catch (const TextConversionError&) {
        return {};
    }
}

#define SONORIX_DICT_GETTER(Name, Type, Conversion)                                                \
    Type Value_dict::Name(std::u16string_view key, Type fallback) const {                          \
        ValueRef v = get(key);                                                                     \
        return v ? v->Conversion() : fallback;                                                     \
    }                                                                                              \
    Type Value_dict::Name(std::string_view key, Type fallback) const {                             \
        ValueRef v = get(key);                                                                     \
        return v ? v->Conversion() : fallback;                                                     \
    }

SONORIX_DICT_GETTER(getInt16, int16_t, toInt16)
SONORIX_DICT_GETTER(getInt32, int32_t, toInt32)
SONORIX_DICT_GETTER(getInt64, int64_t, toInt64)
SONORIX_DICT_GETTER(getBool, bool, toBool)
SONORIX_DICT_GETTER(getDouble, double, toDouble)
#undef SONORIX_DICT_GETTER

std::u16string Value_dict::getString(std::u16string_view key) const {
    ValueRef v = get(key);
    return v ? v->toString() : std::u16string();
}

std::u16string Value_dict::getString(std::string_view key) const {
    ValueRef v = get(key);
    return v ? v->toString() : std::u16string();
}

std::shared_ptr<DateTimePoint> Value_dict::getDate(std::u16string_view key) const {
    ValueRef v = get(key);
    return v ? v->date() : nullptr;
}

std::shared_ptr<DateTimePoint> Value_dict::getDate(std::string_view key) const {
    ValueRef v = get(key);
    return v ? v->date() : nullptr;
}

uint64_t Value_dict::getHexId(std::u16string_view key) const {
    ValueRef v = get(key);
    return v ? parseHexId(toUtf8(v->toString())) : 0;
}

uint64_t Value_dict::getHexId(std::string_view key) const {
    ValueRef v = get(key);
    return v ? parseHexId(toUtf8(v->toString())) : 0;
}

void Value_dict::set(std::u16string_view key, ValueRef value) {
    if (!value) {
        remove(key);
        return;
    }
    auto it = m_items.find(key);
    if (it != m_items.end()) {
        it->second = std::move(value);
    } else {
        m_items.emplace(std::u16string(key), std::move(value));
    }
}

void Value_dict::set(std::string_view key, ValueRef value) {
    set(toUtf16(key), std::move(value));
}

void Value_dict::remove(std::u16string_view key) {
    auto it = m_items.find(key);
    if (it != m_items.end()) {
        m_items.erase(it);
    }
}

void Value_dict::remove(std::string_view key) {
    try {
        remove(std::u16string_view(toUtf16(key)));
    } catch (const TextConversionError&) {
    }
}

void Value_array::append(ValueRef value) {
    if (value) {
        m_items.push_back(std::move(value));
    }
}

// ---- creation ----

ValueRef makeString(std::u16string text) {
    return std::make_shared<Value_string>(std::move(text));
}
ValueRef makeString(std::string_view utf8) {
    return std::make_shared<Value_string>(toUtf16(utf8));
}
ValueRef makeInt16(int16_t v) {
    return std::make_shared<Value_int32>(v);
}
ValueRef makeInt32(int32_t v) {
    return std::make_shared<Value_int32>(v);
}
ValueRef makeInt64(int64_t v) {
    return std::make_shared<Value_int64>(v);
}
ValueRef makeBool(bool v) {
    return std::make_shared<Value_bool>(v);
}
ValueRef makeDouble(double v) {
    return std::make_shared<Value_double>(v);
}

ValueRef makeData(const uint8_t* bytes, int32_t length, bool copy, bool takeOwnership) {
    return std::make_shared<Value_data>(bytes, length, copy, takeOwnership);
}

ValueRef makeDate(std::shared_ptr<DateTimePoint> point) {
    return std::make_shared<Value_date>(std::move(point));
}

ValueRef makeDate(const DateTimePoint& point) {
    return std::make_shared<Value_date>(std::make_shared<DateTimePoint>(point));
}

DictRef makeDict() {
    return std::make_shared<Value_dict>();
}
ArrayRef makeArray() {
    return std::make_shared<Value_array>();
}

std::string hexIdText(uint64_t id) {
    char text[24];
    std::snprintf(text, sizeof text, "%llX", static_cast<unsigned long long>(id));
    return text;
}

std::u16string hexIdText16(uint64_t id) {
    std::string text = hexIdText(id);
    return std::u16string(text.begin(), text.end());
}

uint64_t parseHexId(std::string_view text) {
    // Persistent ids are up to 16 plain digits; anything else takes the C library's reading.
    if (!text.empty() && text.size() <= 16) {
        uint64_t id = 0;
        size_t i = 0;
        for (; i < text.size(); ++i) {
            const char c = text[i];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                     : -1;
            if (digit < 0) {
                break;
            }
            id = id << 4 | static_cast<uint64_t>(digit);
        }
        if (i == text.size()) {
            return id;
        }
    }
    std::string copy(text);
    unsigned long long id = 0;
    if (std::sscanf(copy.c_str(), "%llx", &id) != 1) {
        return 0;
    }
    return id;
}

DictRef asDict(const ValueRef& value) {
    return value && value->type() == Value::kDict ? std::static_pointer_cast<Value_dict>(value)
                                                  : nullptr;
}

ArrayRef asArray(const ValueRef& value) {
    return value && value->type() == Value::kArray ? std::static_pointer_cast<Value_array>(value)
                                                   : nullptr;
}

} // namespace sonorix
