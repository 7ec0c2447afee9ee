#pragma once

#include "foundation/DateTimePoint.h"

#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sonorix {

// The one dynamic value type behind every property list (model file, settings, the iTunes library,
// notification parameters). Values are always held through shared pointers; an empty pointer
// means "no value". Values carry no locks: whoever changes a dictionary or array that other threads
// can reach holds the lock of the object that owns it.
class Value;
class Value_dict;
class Value_array;
using ValueRef = std::shared_ptr<Value>;
using DictRef = std::shared_ptr<Value_dict>;
using ArrayRef = std::shared_ptr<Value_array>;

// Ordered by UTF-16 code units; std::less<> lets lookups take a u16string_view without a copy.
using DictItems = std::map<std::u16string, ValueRef, std::less<>>;
using ArrayItems = std::vector<ValueRef>;

class Value {
public:
    enum Kind : int {
        kString = 0,
        kInteger = 1,
        kBool = 2,
        kReal = 3,
        kData = 4,
        kDate = 5,
        kDict = 7,
        kArray = 8,
    };

    virtual ~Value();
    virtual int type() const = 0;

    // Conversions never throw: text that is not wholly a number gives 0, false or 0.0.
    virtual std::u16string toString() const;
    virtual int16_t toInt16() const;
    virtual int32_t toInt32() const;
    virtual int64_t toInt64() const;
    virtual bool toBool() const;
    virtual float toFloat() const;
    virtual double toDouble() const;

    // The buffer of a data value (length in the out parameter); null and 0 for other kinds.
    virtual const uint8_t* bytes(int32_t& length) const;
    virtual std::shared_ptr<DateTimePoint> date() const;
    virtual void appendBytes(const uint8_t* bytes, int32_t length);
    virtual void appendBytesOf(const Value& other);
    virtual size_t count() const;
    virtual const ArrayItems* arrayItems() const;
    virtual const DictItems* dictItems() const;

    // Writes the value as property-list XML, every line starting with indent.
    virtual void writeXML(std::ostream& out, const std::string& indent) const = 0;

    // Writes a complete property-list file, flushed and synced to disk. False when anything
    // failed; then the file may be incomplete (callers write through SafeFileWriter).
    bool writeXMLFile(const std::string& path) const;
    // The complete property-list document as text.
    std::string toXMLDocument() const;
};

class Value_string final : public Value {
public:
    explicit Value_string(std::u16string text) : m_text(std::move(text)) {}
    int type() const override { return kString; }
    std::u16string toString() const override { return m_text; }
    const std::u16string& text() const { return m_text; }
    void writeXML(std::ostream& out, const std::string& indent) const override;

private:
    std::u16string m_text;
};

class Value_int32 final : public Value {
public:
    explicit Value_int32(int32_t v) : m_value(v) {}
    int type() const override { return kInteger; }
    int32_t toInt32() const override { return m_value; }
    int64_t toInt64() const override { return m_value; }
    void writeXML(std::ostream& out, const std::string& indent) const override;

private:
    int32_t m_value;
};

class Value_int64 final : public Value {
public:
    explicit Value_int64(int64_t v) : m_value(v) {}
    int type() const override { return kInteger; }
    int32_t toInt32() const override { return static_cast<int32_t>(m_value); }
    int64_t toInt64() const override { return m_value; }
    void writeXML(std::ostream& out, const std::string& indent) const override;

private:
    int64_t m_value;
};

class Value_bool final : public Value {
public:
    explicit Value_bool(bool v) : m_value(v) {}
    int type() const override { return kBool; }
    bool toBool() const override { return m_value; }
    void writeXML(std::ostream& out, const std::string& indent) const override;

private:
    bool m_value;
};

class Value_double final : public Value {
public:
    explicit Value_double(double v) : m_value(v) {}
    int type() const override { return kReal; }
    double toDouble() const override { return m_value; }
    void writeXML(std::ostream& out, const std::string& indent) const override;

private:
    double m_value;
};

// A byte buffer. Built with copy, the bytes are copied into a buffer of its own (copied and
// ownsBuffer set); otherwise the pointer is adopted and freed with free() only when ownsBuffer.
class Value_data final : public Value {
public:
    Value_data(const uint8_t* bytes, int32_t length, bool copy, bool takeOwnership);
    ~Value_data() override;
    Value_data(const Value_data&) = delete;
    Value_data& operator=(const Value_data&) = delete;

    int type() const override { return kData; }
    const uint8_t* bytes(int32_t& length) const override;
    // Appending to an adopted buffer first moves the bytes into one of its own. Throws
    // std::bad_alloc or std::length_error when the result cannot be held.
    void appendBytes(const uint8_t* bytes, int32_t length) override;
    void writeXML(std::ostream& out, const std::string& indent) const override;

    bool copied() const { return m_copied; }
    bool ownsBuffer() const { return m_ownsBuffer; }

private:
    uint8_t* m_buffer = nullptr;
    int32_t m_length = 0;
    bool m_copied = false;
    bool m_ownsBuffer = false;
};

class Value_date final : public Value {
public:
    explicit Value_date(std::shared_ptr<DateTimePoint> point) : m_point(std::move(point)) {}
    int type() const override { return kDate; }
    std::u16string toString() const override;
    std::shared_ptr<DateTimePoint> date() const override { return m_point; }
    void writeXML(std::ostream& out, const std::string& indent) const override;

private:
    std::shared_ptr<DateTimePoint> m_point;
};

class Value_dict final : public Value {
public:
    int type() const override { return kDict; }
    size_t count() const override { return m_items.size(); }
    const DictItems* dictItems() const override { return &m_items; }
    DictItems& items() { return m_items; }
    void writeXML(std::ostream& out, const std::string& indent) const override;

    // Every accessor takes the key as UTF-16 or as UTF-8 text. An absent key gives the default
    // (empty text, no value, 0, or the given default).
    ValueRef get(std::u16string_view key) const;
    ValueRef get(std::string_view key) const;
    std::u16string getString(std::u16string_view key) const;
    std::u16string getString(std::string_view key) const;
    int16_t getInt16(std::u16string_view key, int16_t fallback = 0) const;
    int16_t getInt16(std::string_view key, int16_t fallback = 0) const;
    int32_t getInt32(std::u16string_view key, int32_t fallback = 0) const;
    int32_t getInt32(std::string_view key, int32_t fallback = 0) const;
    int64_t getInt64(std::u16string_view key, int64_t fallback = 0) const;
    int64_t getInt64(std::string_view key, int64_t fallback = 0) const;
    bool getBool(std::u16string_view key, bool fallback = false) const;
    bool getBool(std::string_view key, bool fallback = false) const;
    double getDouble(std::u16string_view key, double fallback = 0.0) const;
    double getDouble(std::string_view key, double fallback = 0.0) const;
    // Empty when absent or not a date.
    std::shared_ptr<DateTimePoint> getDate(std::u16string_view key) const;
    std::shared_ptr<DateTimePoint> getDate(std::string_view key) const;
    // The value's text read as hexadecimal (either case), up to the first non-digit; 0 when
    // absent or without a leading hexadecimal digit.
    uint64_t getHexId(std::u16string_view key) const;
    uint64_t getHexId(std::string_view key) const;

    // Replaces an existing entry of the key. An empty value removes the key. An undecodable UTF-8
    // key throws TextConversionError.
    void set(std::u16string_view key, ValueRef value);
    void set(std::string_view key, ValueRef value);
    void remove(std::u16string_view key);
    void remove(std::string_view key);

private:
    DictItems m_items;
};

class Value_array final : public Value {
public:
    int type() const override { return kArray; }
    size_t count() const override { return m_items.size(); }
    const ArrayItems* arrayItems() const override { return &m_items; }
    ArrayItems& items() { return m_items; }
    // Empty values are not appended.
    void append(ValueRef value);
    void writeXML(std::ostream& out, const std::string& indent) const override;

private:
    ArrayItems m_items;
};

// Value creation; each call gives a new shared value.
ValueRef makeString(std::u16string text);
ValueRef makeString(std::string_view utf8); // throws TextConversionError for invalid UTF-8
ValueRef makeInt16(int16_t v);              // held as a Value_int32
ValueRef makeInt32(int32_t v);
ValueRef makeInt64(int64_t v);
ValueRef makeBool(bool v);
ValueRef makeDouble(double v);
ValueRef makeData(const uint8_t* bytes, int32_t length, bool copy = true,
                  bool takeOwnership = false);
ValueRef makeDate(std::shared_ptr<DateTimePoint> point);
ValueRef makeDate(const DateTimePoint& point);
DictRef makeDict();
ArrayRef makeArray();

// Persistent ids as text: "%llX", upper case without leading zeros (0xAB gives "AB").
std::string hexIdText(uint64_t id);
std::u16string hexIdText16(uint64_t id);
// "%llx" reading: leading hexadecimal digits of either case; 0 when there are none. Like the C
// library's reading, more than 64 bits of digits give the largest id.
uint64_t parseHexId(std::string_view text);

// The dictionary inside a value, or empty.
DictRef asDict(const ValueRef& value);
ArrayRef asArray(const ValueRef& value);

} // namespace sonorix
